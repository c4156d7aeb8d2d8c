// The page asleep in the real program (under Xvfb with the simulated mouse):
// the window closed from the page's own button, the page discarded once it is
// quiet ("page asleep" in the log), and everything the user relies on still
// working: bound programs switch modes, plugging a mouse in gives it its
// settings, the hot key opens the popup, a macro recording goes on, and the
// window opened again shows the page as it was left. The program runs as an
// unprivileged user (kelvview, made when missing) where this runs as root, as
// users run it. Run by ctest as view_asleep.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { spawn, spawnSync } from 'node:child_process';
import { Program, sleep } from './harness.mjs';

let p;
// The desktop has a tray: the closed window rests there.
before(async () => { p = await Program.start({ width: 800, height: 600, tray: true, user: 'kelvview' }); });
after(async () => { await p?.stop(); });

const profileText = () => fs.readFileSync(path.join(p.dir, 'view/xml/configuration.xml'), 'utf8');

// Waits until the log holds text after position from; returns the position
// after it.
async function logged(text, from, timeoutMs = 30000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const at = p.log.indexOf(text, from);
    if (at >= 0) return at + text.length;
    if (Date.now() > end) throw new Error(`no "${text}" in the log after ${timeoutMs} ms:\n${p.log.slice(from)}`);
    await sleep(50);
  }
}

async function waitFor(check, what, timeoutMs = 15000) {
  const end = Date.now() + timeoutMs;
  while (!check()) {
    if (Date.now() > end) throw new Error(`${what} did not happen within ${timeoutMs} ms`);
    await sleep(100);
  }
}

// The user closes the window with the page's close button; the page goes to
// sleep once it is quiet. Returns the log position after "page asleep".
async function closeAndSleep() {
  const from = p.log.length;
  await p.eval("(document.querySelector('#win-close').click(), true)");
  p.cdp.close();
  return logged('page asleep', from);
}

// Opens the window again as a second start does (the tray does the same);
// connects to the page once it is ready again (woken, unless it stayed awake).
async function openAgain({ awake = false } = {}) {
  const from = p.log.length;
  const second = spawnSync(path.join(p.dir, 'kelv'), [], { env: p.env, cwd: p.root, timeout: 60000, ...p.runAs });
  assert.equal(second.status, 0);
  await logged(awake ? 'window shown for another start' : 'page shown', from);
  await p.connect();
}

const prop = (name) => p.dcsim('prop', name).trim();

test('opened again, the page shows what the user left, and a typed name was saved first', async () => {
  await p.until("window.kelvApp.state.deviceState === 'ready'");
  // The page in German: its table is loaded only when it is chosen.
  await p.eval("window.kelvApp.settings.setLanguage('de-DE').then(() => true)");
  await p.eval("(location.hash = '#buttons', true)");
  await p.until(`!!document.querySelector('[data-key="btn:3"]')`);
  await p.eval(`(document.querySelector('[data-key="btn:3"]').click(), true)`);
  // Enough modes that the modes screen scrolls.
  await p.eval('(async () => { for (let i = 0; i < 4; i++) await window.kelvApp.modes.add(); return true; })()');
  await p.eval("(location.hash = '#modes', true)");
  await p.until(`!!document.querySelector('[data-key="mode-name:4"]')`);
  // A name typed into the field, not yet committed (no change event yet).
  await p.eval(`(() => { const el = document.querySelector('[data-key="mode-name:0"]'); el.focus(); el.select(); return true; })()`);
  for (const key of 'Evening') await p.press(key);
  assert.equal(await p.eval('window.kelvApp.state.profile.modes[0].name'), 'Default');
  // The screen scrolled down as far as it goes (a small window).
  const scrolled = await p.eval(`(() => { const c = document.querySelector('#content'); c.scrollTop = c.scrollHeight; return c.scrollTop; })()`);
  assert.ok(scrolled > 0, 'the modes screen scrolls');

  await closeAndSleep();
  assert.match(profileText(), /<mode index="0" name="Evening"/, 'the typed name was saved before the page slept');

  await openAgain();
  assert.equal(await p.eval('location.hash'), '#modes');
  assert.equal(await p.eval(`document.querySelector('[data-key="mode-name:0"]').value`), 'Evening');
  assert.equal(await p.eval(`document.querySelector('#content').scrollTop`), scrolled);
  assert.equal(await p.eval(`document.activeElement?.dataset.key ?? ''`), 'mode-name:0');
  assert.equal(await p.eval('window.kelvApp.state.selectedButton'), 3);
  assert.equal(await p.eval('window.kelvApp.state.deviceState'), 'ready');
  // Woken, the page speaks German again: its table was loaded anew.
  assert.equal(await p.eval('document.documentElement.lang'), 'de-DE');
  assert.match(await p.eval(`document.querySelector('#nav').textContent`), /Leistung/);
  assert.equal(await p.eval("window.kelvApp.alerts.some((a) => a.key === 'error.language')"), false);
});

// Still in German: a woken page loads its language's texts before it draws,
// and the event it was woken for must not be lost meanwhile.
test('a bound program switches the mode while the page sleeps, and the page sleeps again', async () => {
  const exe = path.join(p.root, 'game');
  fs.copyFileSync('/bin/sleep', exe);
  fs.chmodSync(exe, 0o755);
  const index = await p.eval(`(async () => { const app = window.kelvApp; const index = await app.modes.add();
    const m = app.state.profile.modes.find((x) => x.index === index);
    m.bindingProcess = ${JSON.stringify(exe)}; m.performance.pollingRate = 1;
    app.sync.markAll(); await app.modes.bindingsChanged(); return index; })()`);
  const home = prop('polling-rate');
  assert.notEqual(home, '01');
  await waitFor(() => profileText().includes(`bindingProcess="${exe}"`), 'the binding saved for the monitor');

  let at = await closeAndSleep();
  const game = spawn(exe, ['60'], { stdio: 'ignore', ...p.runAs }); // the user's own game
  try {
    at = await logged('page woken for onProcessChanged', at);
    await waitFor(() => prop('polling-rate') === '01', 'the bound mode written to the mouse');
    at = await logged('page asleep', at);
    assert.match(profileText(), new RegExp(`<modeSetting current="${index}"`), 'the switch is saved');
  } finally {
    game.kill();
  }
  at = await logged('page woken for onProcessChanged', at);
  await waitFor(() => prop('polling-rate') === home, 'the mode of before written back');
  await logged('page asleep', at);
  assert.match(profileText(), /<modeSetting current="0"/);
  await openAgain();
  assert.equal(await p.eval('window.kelvApp.state.profile.current'), '0');
  assert.deepEqual(await p.eval('window.kelvApp.state.boundRunning'), []);
  await p.eval("window.kelvApp.settings.setLanguage('en').then(() => true)");
});

test('plugging a mouse in while the page sleeps gives it its settings', async () => {
  await p.eval("window.kelvApp.modes.change((m) => { m.performance.pollingRate = 1; }, [5])");
  await p.eval('window.kelvApp.modes.save()');
  assert.equal(prop('polling-rate'), '01');
  let at = await closeAndSleep();
  p.dcsim('unplug');
  at = await logged('page woken for', at);
  at = await logged('page asleep', at);
  // A factory-fresh mouse comes in: the page, woken, brings it to the mode.
  p.dcsim('reset');
  at = await logged('page woken for', at);
  await waitFor(() => prop('polling-rate') === '01', 'the mode written to the plugged-in mouse');
  await logged('page asleep', at);
  await openAgain();
  assert.equal(await p.eval('window.kelvApp.state.deviceState'), 'ready');
  assert.equal(await p.eval('window.kelvApp.state.live.performance.pollingRate'), 1);
});

test('the hot key opens the popup while the main page sleeps, and its memory is given back', async () => {
  await logged('memory given back', await closeAndSleep());
  const cdp = await p.openPopup();
  try {
    await cdp.until("window.kelvApp.state.deviceState === 'ready'");
  } finally {
    cdp.close();
  }
  const closedAt = p.log.length;
  p.xdotool('key', 'ctrl+alt+m');
  // Gone, the popup leaves the program resting as before: what its page used
  // is given back without waiting for the main page's next sleep.
  await logged('memory given back', closedAt);
  assert.doesNotMatch(p.log.slice(closedAt), /page woken/, 'the main page slept on');
});

// The popup writes the mouse while the main page rests, so the main page
// heard no notice of it: back, it knows the mouse holds the popup's value,
// and the mode the user switches to next is written where it differs.
test('a change made in the popup while the main page sleeps is known to the main page once back', async () => {
  await openAgain();
  await p.eval("window.kelvApp.modes.change((m) => { m.performance.pollingRate = 1; }, [5])");
  const other = await p.eval('window.kelvApp.modes.add()'); // a copy: the same rate
  await p.eval('window.kelvApp.modes.save()');
  assert.equal(prop('polling-rate'), '01');
  await closeAndSleep();
  const cdp = await p.openPopup();
  try {
    await cdp.until("window.kelvApp.state.deviceState === 'ready'");
    await cdp.eval(`window.kelvApp.modes.change((m) => { m.performance.pollingRate = 3; }, [5])
      .then(() => window.kelvApp.sync.flush()).then(() => true)`);
  } finally {
    cdp.close();
  }
  assert.equal(prop('polling-rate'), '03');
  p.xdotool('key', 'ctrl+alt+m');
  await openAgain();
  await p.until("window.kelvApp.state.deviceState === 'ready'");
  await p.eval(`window.kelvApp.modes.switchTo(${JSON.stringify(other)}).then(() => true)`);
  assert.equal(prop('polling-rate'), '01', 'the mode switched to is written to the mouse');
  await p.eval("window.kelvApp.modes.switchTo('0').then(() => true)");
  await closeAndSleep(); // resting, as the next test expects
});

const keySteps = (steps) => steps.filter((s) => s.kind !== 'delay').map((s) => `${s.kind} ${s.scan}`);

test('a macro recording goes on behind the hidden window, and the page keeps its keys', async () => {
  await openAgain();
  await p.eval("(location.hash = '#macros', true)");
  await p.until(`!!document.querySelector('[data-key="slot:0"]')`);
  await p.eval(`(document.querySelector('[data-key="slot:0"]').click(), true)`);
  await p.until(`!!document.querySelector('#record-start')`);
  await p.eval("(document.querySelector('#record-start').click(), true)");
  await p.until('window.kelvApp.state.recording !== null');
  p.xdotool('key', 'a');
  await p.until('window.kelvApp.state.recording.steps.filter((s) => s.kind !== "delay").length >= 2');
  const from = p.log.length;
  await p.eval("(document.querySelector('#win-close').click(), true)");
  p.cdp.close();
  // Hidden and quiet for several times the page's quiet time; then a key
  // typed into whatever program has the focus.
  await sleep(3000);
  p.xdotool('key', 'b');
  await sleep(1000);
  assert.doesNotMatch(p.log.slice(from), /page asleep/, 'the page stays awake while the recording runs');
  await openAgain({ awake: true });
  const keys = keySteps(await p.eval('window.kelvApp.state.recording?.steps ?? []'));
  assert.deepEqual(keys, ['down 30', 'up 30', 'down 48', 'up 48']);
  await p.eval("(document.querySelector('#record-stop').click(), true)");
  await p.until("window.kelvApp.state.recording === null && window.kelvApp.state.macroStatus[0] === 'stored'");
  assert.deepEqual(keySteps(await p.eval('window.kelvApp.macros.get(0).steps')), keys);
  // Stopped, the hidden page sleeps again.
  await closeAndSleep();
});

// The resident KiB of the program's mappings of a file that may not be
// written there: its own executable (a copy in the test's program folder, so
// no other process shares its pages), or a library of the system by name.
function residentKiB(matches) {
  return fs.readFileSync(`/proc/${p.proc.pid}/smaps`, 'utf8').split(/\n(?=[0-9a-f]+-[0-9a-f]+ )/)
    .filter((m) => matches(m.split('\n')[0]) && !/^\S+ .w/.test(m))
    .reduce((kib, m) => kib + Number(/\nRss:\s+(\d+)/.exec(m)?.[1] ?? 0), 0);
}
const programResidentKiB = () => { const exe = fs.realpathSync(path.join(p.dir, 'kelv')); return residentKiB((line) => line.endsWith(` ${exe}`)); };
// The engine's library belongs to root, as the system's libraries do.
const engineResidentKiB = () => residentKiB((line) => /\/libQt6WebEngineCore\.so/.test(line));

test('resting in the tray, the program holds no graphics driver and gives back the pages it read', async () => {
  await openAgain();
  const asleepAt = await closeAndSleep();
  const before = programResidentKiB();
  const engineBefore = engineResidentKiB();
  await logged('memory given back', asleepAt);
  const after = programResidentKiB();
  const engineAfter = engineResidentKiB();
  // Paged out only by root (the kernel pages out only files the caller owns
  // or may write), the engine's library stayed resident in a user's program:
  // about 48 MiB.
  assert.ok(engineBefore > 8192 && engineAfter < engineBefore / 4, `the engine's library resident: ${engineBefore} KiB asleep, ${engineAfter} KiB after giving memory back`);
  // Without the release nothing changes (1184 KiB before and after); with it
  // about a third stays on a quiet machine, and up to three quarters on a busy
  // one, where the program runs (and reads back) more of its code before the
  // pages are counted.
  assert.ok(before > 256 && after < before * 0.85, `the program's code resident: ${before} KiB asleep, ${after} KiB after giving memory back`);
  const maps = fs.readFileSync(`/proc/${p.proc.pid}/maps`, 'utf8');
  assert.doesNotMatch(maps, /_dri\.so|libGLX_mesa|libLLVM/, 'drawn in software, no OpenGL driver is loaded');
});
