// The page in the real program (Qt WebEngine, the native bridge, libdc's
// simulated mouse, the X RECORD macro recorder, the program monitor), driven
// through Chromium's remote debugging. Run by ctest as view_e2e.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { spawn } from 'node:child_process';
import net from 'node:net';
import { Program, sleep } from './harness.mjs';
import { macroSlotAddress } from '../../view/js/devicemap.js';

let p;
before(async () => { p = await Program.start({ width: 800, height: 600 }); });
after(async () => { await p?.stop(); });

const click = (key) => p.eval(`(() => { const el = document.querySelector('[data-key="${key}"]'); if (!el) throw new Error('no ${key}'); el.click(); return true; })()`);
const setValue = (key, value) => p.eval(`(() => { const el = document.querySelector('[data-key="${key}"]'); el.value = ${JSON.stringify(String(value))};
  el.dispatchEvent(new Event('input', { bubbles: true })); el.dispatchEvent(new Event('change', { bubbles: true })); return true; })()`);
const go = (screen) => p.eval(`(location.hash = '#${screen}', true)`);
const profileText = () => fs.readFileSync(path.join(p.dir, 'view/xml/configuration.xml'), 'utf8');

const answerDialog = (caption, file) => p.answerFileDialog(caption, file);
const keySteps = (steps) => steps.filter((s) => s.kind !== 'delay').map((s) => `${s.kind} ${s.scan}`);
// The action button ("Undo") of the message that holds text.
const alertButton = (text) => `[...document.querySelectorAll('.alert')].find((a) => a.textContent.includes(${JSON.stringify(text)}))?.querySelector('.alert-actions .btn')`;

function memory(address, size) {
  return p.dcsim('mem', address.toString(16), String(size)).trim().split('\n')
    .flatMap((line) => line.split(':')[1].trim().split(/\s+/).map((x) => parseInt(x, 16)));
}

// The key events (press/release, scan code) a macro slot of the mouse holds.
function slotKeys(slot) {
  const bytes = memory(macroSlotAddress(slot), 32 + 3 * 64);
  const out = [];
  for (let i = 0; i < (bytes[1] | (bytes[2] << 8)); i++) {
    const [type, scan] = bytes.slice(32 + 3 * i, 34 + 3 * i);
    if (type !== 3) out.push(`${type === 1 ? 'down' : 'up'} ${scan}`);
  }
  return out;
}

test('the page shows the simulated mouse', async () => {
  const conf = await p.eval("window.kelvApp.bridge.call('getConf', {}, { timeoutMs: 5000 }).catch((e) => 'no answer: ' + e.message)");
  assert.ok(conf.startsWith('[{'), `the program answers page commands (getConf: ${conf})`);
  await p.until("window.kelvApp.state.deviceState === 'ready'");
  // Named as what it is: changes made to it reach no mouse.
  const name = await p.eval("document.querySelector('#device-name').textContent");
  assert.equal(name, 'Simulated mouse');
  const chip = await p.eval("document.querySelector('.device-chip small').textContent");
  assert.equal(chip, 'Changes here reach no real mouse');
  const device = await p.eval('window.kelvApp.state.device');
  assert.equal(device.Version, '1.0.0');
  assert.match(device.serial, /^KM1\d{9}$/);
});

// The page is drawn once it shows the mouse: every frame drawn on the way
// from a new start to the ready page is recorded, and none shows the screen
// of a mouse not yet read ("No mouse connected", or no mouse name at all).
test('a start draws the page once the mouse is on it, never "No mouse connected" first', async () => {
  await p.cdp.send('Page.enable');
  const { identifier } = await p.cdp.send('Page.addScriptToEvaluateOnNewDocument', {
    source: `window.drawnFrames = [];
      const look = () => {
        if (document.body && getComputedStyle(document.body).visibility === 'visible')
          window.drawnFrames.push(document.querySelector('#topbar')?.textContent ?? '');
        if (document.documentElement.dataset.ready !== '1') requestAnimationFrame(look);
      };
      requestAnimationFrame(look);`,
  });
  try {
    // A new start of the page: nothing kept from a rest to draw at once.
    await p.eval('(sessionStorage.clear(), window.beforeReload = true, location.reload(), true)');
    await p.until("!window.beforeReload && document.documentElement.dataset.ready === '1'", { timeoutMs: 30000 });
    const frames = await p.eval('window.drawnFrames');
    assert.ok(frames.length > 0, 'the page was drawn');
    assert.deepEqual(frames.filter((topbar) => !topbar.includes('Simulated mouse')), [], 'frames without the mouse');
  } finally {
    await p.cdp.send('Page.removeScriptToEvaluateOnNewDocument', { identifier });
  }
});

// A page whose scripts never run (here: switched off) is not left blank: it
// shows itself after a second all the same.
test('a page whose scripts never run still shows itself', async () => {
  const look = "getComputedStyle(document.body).visibility + ' ' + typeof window.kelvApp";
  await p.cdp.send('Emulation.setScriptExecutionDisabled', { value: true });
  try {
    await p.cdp.send('Page.reload', {});
    await sleep(2000);
    const { result } = await p.cdp.send('Runtime.evaluate', { expression: look, returnByValue: true });
    assert.equal(result.value, 'visible undefined');
  } finally {
    await p.cdp.send('Emulation.setScriptExecutionDisabled', { value: false });
    await p.cdp.send('Page.reload', {});
    await p.until("document.documentElement.dataset.ready === '1'", { timeoutMs: 30000 });
  }
});

// The program starts the engine with V8 in lite mode: the page runs
// interpreted and no WebAssembly exists to compile machine code from.
test('the page runs in V8 lite mode', async () => {
  assert.equal(await p.eval('typeof WebAssembly'), 'undefined');
});

// A hand-edited profile: system mouse values none of the sliders can hold.
test('stored system mouse values the sliders cannot hold show as never set, and are written back so', async () => {
  await p.until("document.querySelector('#save-state').textContent === 'All changes saved'");
  // The program reads its files once: the edit is made while it is not running.
  await p.restart({ between: () => fs.writeFileSync(path.join(p.dir, 'view/xml/configuration.xml'),
    profileText().replace(/<system[^>]*>/, '<system pointerSpeed="99" scrollLines="0" doubleClick="15"/>')) });
  await go('system');
  await p.until(`!!document.querySelector('[data-key="system:dbl"]')`);
  const shown = await p.eval("JSON.stringify([...document.querySelectorAll('.sys-row')].map((r) => [r.querySelector('input').value, r.querySelector('output').textContent]))");
  assert.deepEqual(JSON.parse(shown), [['10', '10'], ['3', '3 lines'], ['5', '620 ms']]);
  const repaired = /<system pointerSpeed="" scrollLines="" doubleClick="" ?\/>/;
  for (let i = 0; i < 50 && !repaired.test(profileText()); i++) await sleep(100);
  assert.match(profileText(), repaired);
});

test('the title bar maximises, restores and moves the frameless window', async () => {
  await p.eval("(document.querySelector('#win-max').click(), true)");
  await p.until('window.innerWidth === screen.availWidth && window.innerHeight === screen.availHeight');
  await p.eval("(document.querySelector('#win-max').click(), true)");
  await p.until('window.innerWidth === 800 && window.innerHeight === 600');
  const before = await p.eval('[window.screenX, window.screenY]');
  await p.eval("window.kelvApp.bridge.request('moveWindow:30,20,800,600')");
  await p.until(`window.screenX === ${before[0] + 30} && window.screenY === ${before[1] + 20}`);
});

// Starting kelv again while it runs brings its window back, also when the
// user had minimised it; the new start ends at once.
test('a second start brings back the minimised window', async () => {
  await p.eval(`window.kelvApp.bridge.request('{"funcname":"minisizeWindow"}').then(() => true)`);
  const from = p.log.length;
  // Started without blocking: the running program's log must keep flowing.
  const second = spawn(path.join(p.dir, 'kelv'), [], { env: p.env, cwd: p.root, stdio: 'ignore' });
  assert.equal(await new Promise((resolve) => second.on('exit', resolve)), 0);
  const end = Date.now() + 15000;
  while (!p.log.includes('window shown for another start', from) && Date.now() < end) await sleep(50);
  assert.match(p.log.slice(from), /window shown for another start; visible: true minimised: false/);
});

test('changing a DPI stage changes the mouse and the profile', async () => {
  await go('performance');
  await p.until(`!!document.querySelector('[data-key="dpi-num:0"]')`);
  await setValue('dpi-num:0', 1234); // kept to steps of 50
  let prop = '';
  for (let i = 0; i < 50 && !prop.startsWith('e204'); i++) { prop = p.dcsim('prop', '3').trim(); await sleep(100); }
  assert.equal(prop.slice(0, 4), 'e204', `1250 DPI = 0x04e2 little-endian, got ${prop}`);
  // Polling rate through the segmented control; its hint names the fastest
  // rate as the control writes it.
  const [hint, fastest] = await p.eval(`(() => { const b = document.querySelector('[data-key="polling:4"]');
    return [b.closest('.card').querySelector('.hint').textContent, b.textContent]; })()`);
  assert.equal(fastest, '1,000 Hz');
  assert.ok(hint.includes(fastest), hint);
  await click('polling:2');
  await p.until("window.kelvApp.state.profile.modes[0].performance.pollingRate === 2");
  for (let i = 0; i < 50 && p.dcsim('prop', '5').trim() !== '02'; i++) await sleep(100);
  assert.equal(p.dcsim('prop', '5').trim(), '02');
  // Saved to disk (minimise/hide/quit also save; savexml here).
  await p.eval('window.kelvApp.modes.save()');
  assert.match(profileText(), /<stage index="0" dpi="1250"/);
  assert.match(profileText(), /pollingRate="2"/);
});

test('a refused write is shown and the setting goes back', async () => {
  p.dcsim('fail', 'write');
  try {
    await click('liftoff:3');
    await p.until("document.querySelector('.alert.error') !== null");
    await p.until("window.kelvApp.state.profile.modes[0].performance.liftOff === 2");
    assert.equal(p.dcsim('prop', '6').trim(), '02');
  } finally {
    p.dcsim('fail', 'none');
  }
  await p.eval("(window.kelvApp.alerts = [], window.kelvApp.ui.renderAlerts(), true)");
});

test('the DPI button on the mouse moves the active stage on the page', async () => {
  p.dcsim('data', '0103200300000000'); // stage 3 active
  await p.until("window.kelvApp.state.profile.modes[0].performance.activeStage === 3");
  await p.until(`document.querySelector('[data-key="stage-active:3"]').checked`);
});

test('a deleted DPI stage comes back with Undo, in the mouse too', async () => {
  await go('performance');
  await p.until(`!!document.querySelector('[data-key="stage-remove:1"]')`);
  const before = await p.eval('window.kelvApp.mode.performance');
  const dpis = p.dcsim('prop', '3').trim();
  await p.click('[data-key="stage-remove:1"]');
  await p.until(`window.kelvApp.mode.performance.stageCount === ${before.stageCount - 1}`);
  for (let i = 0; i < 50 && p.dcsim('prop', '1').trim() !== `0${before.stageCount - 1}`; i++) await sleep(100);
  assert.equal(p.dcsim('prop', '1').trim(), `0${before.stageCount - 1}`);
  await p.click(alertButton('Stage 2 removed.'));
  await p.until(`JSON.stringify(window.kelvApp.mode.performance) === ${JSON.stringify(JSON.stringify(before))}`);
  for (let i = 0; i < 50 && p.dcsim('prop', '1').trim() !== `0${before.stageCount}`; i++) await sleep(100);
  assert.equal(p.dcsim('prop', '1').trim(), `0${before.stageCount}`);
  assert.equal(p.dcsim('prop', '2').trim(), `0${before.activeStage}`);
  assert.equal(p.dcsim('prop', '3').trim(), dpis);
});

test('a macro typed on the keyboard is recorded and stored in the mouse memory', async () => {
  await go('macros');
  await p.until(`!!document.querySelector('[data-key="slot:0"]')`);
  await click('slot:0');
  await p.until(`!!document.querySelector('#record-start')`);
  await p.eval("(document.querySelector('#record-start').click(), true)");
  await p.until('window.kelvApp.state.recording !== null');
  await sleep(300);
  p.xdotool('type', '--delay', '120', 'ab');
  await p.until('window.kelvApp.state.recording.steps.filter((s) => s.kind !== "delay").length >= 4', { timeoutMs: 10000 });
  await p.eval("(document.querySelector('#record-stop').click(), true)");
  await p.until("window.kelvApp.state.macroStatus[0] === 'stored'");
  const steps = await p.eval('window.kelvApp.macros.get(0).steps');
  assert.deepEqual(steps.filter((s) => s.kind !== 'delay').map((s) => `${s.kind} ${s.scan}`), ['down 30', 'up 30', 'down 48', 'up 48']);
  const bytes = memory(0x1000, 64);
  assert.equal(bytes[0], 0x4d);
  const n = bytes[1] | (bytes[2] << 8);
  const events = [];
  for (let i = 0; i < n; i++) events.push(bytes.slice(32 + 3 * i, 35 + 3 * i));
  assert.deepEqual(events.filter((e) => e[0] !== 3), [[1, 0x1e, 0], [2, 0x1e, 0], [1, 0x30, 0], [2, 0x30, 0]]);
  assert.ok(events.some((e) => e[0] === 3 && (e[1] | (e[2] << 8)) > 0), 'delays are stored');
  // Name from the page.
  assert.equal(Buffer.from(bytes.slice(3, 3 + 7)).toString('utf8'), 'Macro 1');
  assert.match(profileText(), /<macro slot="0" name="Macro 1"/);
  // A delay beyond the limit is refused; the message writes the limit as numbers are written.
  await setValue(`step-ms:${steps.findIndex((s) => s.kind === 'delay')}`, 700000);
  await p.until("document.querySelector('.alert.error') !== null");
  assert.equal(await p.eval("document.querySelector('.alert.error strong').textContent"), 'A delay must be between 0 and 600,000 milliseconds.');
  await p.eval("(window.kelvApp.alerts = [], window.kelvApp.ui.renderAlerts(), true)");
});

test('Space and Enter are recorded and Esc stops; the pointer stops too, and a new recording can be undone', async () => {
  await go('macros');
  await p.until(`!!document.querySelector('[data-key="slot:1"]')`);
  await p.click('[data-key="slot:1"]');
  await p.until('window.kelvApp.macros.get(1) !== null && !!document.querySelector("#record-start")');
  await p.click('#record-start');
  await p.until('window.kelvApp.state.recording !== null');
  // The page says how to stop, and that Space and Enter are recorded.
  assert.match(await p.eval("document.querySelector('#recording-hint').textContent"), /Space and Enter too\. Press Esc to stop/);
  await sleep(300);
  p.xdotool('type', '--delay', '120', 'a');
  p.xdotool('key', '--delay', '120', 'space', 'Return');
  p.xdotool('type', '--delay', '120', 'b');
  await p.until('window.kelvApp.state.recording.steps.filter((s) => s.kind !== "delay").length >= 8', { timeoutMs: 10000 });
  assert.equal(await p.eval('window.kelvApp.state.recording !== null'), true, 'neither Space nor Enter stopped it');
  p.xdotool('key', 'Escape');
  await p.until("window.kelvApp.state.recording === null && window.kelvApp.state.macroStatus[1] === 'stored'", { timeoutMs: 10000 });
  const typed = ['down 30', 'up 30', 'down 57', 'up 57', 'down 28', 'up 28', 'down 48', 'up 48'];
  assert.deepEqual(keySteps(await p.eval('window.kelvApp.macros.get(1).steps')), typed);
  assert.deepEqual(slotKeys(1), typed, 'in the mouse');

  // Recorded again, stopped with the pointer: the earlier steps come back with Undo.
  await p.click('#record-start');
  await p.until('window.kelvApp.state.recording !== null').catch(async (e) => {
    throw new Error(`${e.message} ${await p.eval('JSON.stringify({ a: window.kelvApp.alerts.map((x) => x.key + x.detail), b: document.querySelector("#record-start")?.outerHTML, f: document.activeElement?.outerHTML })')}`);
  });
  await sleep(300);
  p.xdotool('type', '--delay', '120', 'x');
  await p.until('window.kelvApp.state.recording.steps.filter((s) => s.kind !== "delay").length >= 2', { timeoutMs: 10000 });
  await p.click('#record-stop');
  await p.until("window.kelvApp.state.recording === null && window.kelvApp.state.macroStatus[1] === 'stored'");
  assert.deepEqual(keySteps(await p.eval('window.kelvApp.macros.get(1).steps')), ['down 45', 'up 45']);
  await p.click(alertButton('The recording replaced the steps of "Macro 2"'));
  await p.until(`JSON.stringify(window.kelvApp.macros.get(1).steps.filter((s) => s.kind !== 'delay').map((s) => s.kind + ' ' + s.scan)) === ${JSON.stringify(JSON.stringify(typed))}`);
  await p.until("window.kelvApp.state.macroStatus[1] === 'stored'");
  assert.deepEqual(slotKeys(1), typed, 'the mouse holds the earlier steps again');
});

test('a mode bound to a program becomes active while it runs', async () => {
  // A program of our own: a copy of sleep, so /proc/<pid>/exe names it.
  const exe = path.join(p.root, 'game');
  fs.copyFileSync('/bin/sleep', exe);
  fs.chmodSync(exe, 0o755);
  const index = await p.eval('window.kelvApp.modes.add()');
  await p.eval(`(window.kelvApp.modes.rename('${index}', 'Game'), true)`);
  await go('modes');
  await p.until(`!!document.querySelector('[data-key="mode-bind:${index}"]')`);
  await click(`mode-bind:${index}`);
  await answerDialog('OpenFileDialog', exe);
  await p.until(`window.kelvApp.state.profile.modes.find((m) => m.index === '${index}').bindingProcess === ${JSON.stringify(exe)}`, { timeoutMs: 15000 });
  for (let i = 0; i < 50 && !profileText().includes(`bindingProcess="${exe}"`); i++) await sleep(100);
  assert.ok(profileText().includes(`bindingProcess="${exe}"`), 'the binding is saved for the monitor');
  // Make the game mode look different in the mouse: it is a copy of Default,
  // so give it another polling rate.
  await p.eval(`(async () => { const app = window.kelvApp; const m = app.state.profile.modes.find((x) => x.index === '${index}');
    m.performance.pollingRate = 1; app.sync.markMode('${index}'); await app.modes.save(); return true; })()`);
  assert.equal(await p.eval('window.kelvApp.state.profile.current'), '0');
  const game = spawn(exe, ['30'], { stdio: 'ignore' });
  try {
    await p.until(`window.kelvApp.state.profile.current === '${index}'`, { timeoutMs: 15000 });
    for (let i = 0; i < 50 && p.dcsim('prop', '5').trim() !== '01'; i++) await sleep(100);
    assert.equal(p.dcsim('prop', '5').trim(), '01');
  } finally {
    game.kill();
  }
  await p.until("window.kelvApp.state.profile.current === '0'", { timeoutMs: 15000 });
  for (let i = 0; i < 50 && p.dcsim('prop', '5').trim() !== '02'; i++) await sleep(100);
  assert.equal(p.dcsim('prop', '5').trim(), '02');
});

// The mode a bound program chose, across new starts of the program: kept while
// the program runs, left once it is seen not to run (the mouse and the saved
// profile back in the mode of before, with the notice a program's end gives).
test('after a new start the game mode stays while the game runs, and goes once it is seen not to run', async () => {
  const exe = path.join(p.root, 'game');
  const index = await p.eval("window.kelvApp.state.profile.modes.find((m) => m.name === 'Game').index");
  const pollingRate = () => p.dcsim('prop', '5').trim();
  assert.equal(await p.eval('window.kelvApp.state.profile.current'), '0');
  const home = pollingRate();
  assert.notEqual(home, '01');
  const waitFor = async (check, what) => {
    for (let i = 0; i < 150 && !check(); i++) await sleep(100);
    assert.ok(check(), what);
  };
  const inGame = async () => {
    await p.until(`window.kelvApp.state.profile.current === '${index}'`, { timeoutMs: 15000 });
    await waitFor(() => pollingRate() === '01' && profileText().includes(`<modeSetting current="${index}"`), 'the game mode in the mouse and saved');
  };
  const backHome = async () => {
    await p.until("window.kelvApp.state.profile.current === '0'", { timeoutMs: 15000 });
    await waitFor(() => pollingRate() === home && profileText().includes('<modeSetting current="0"'), 'the mode of before in the mouse and saved');
  };
  let game = spawn(exe, ['120'], { stdio: 'ignore' });
  try {
    await inGame();
    // Quit while the game runs; it still runs at the next start.
    await p.restart();
    await p.eval('window.kelvApp.modes.resumed.then(() => true)');
    assert.equal(await p.eval('window.kelvApp.state.profile.current'), index);
    assert.deepEqual(await p.eval('window.kelvApp.state.boundRunning'), [index]);
    assert.equal(pollingRate(), '01');
    // The page loaded again (as after its renderer crashed) keeps it too.
    await p.eval('(window.beforeReload = true, location.reload(), true)');
    await p.until("!window.beforeReload && document.documentElement.dataset.ready === '1'", { timeoutMs: 30000 });
    await p.eval('window.kelvApp.modes.resumed.then(() => true)');
    assert.equal(await p.eval('window.kelvApp.state.profile.current'), index);
    assert.equal(pollingRate(), '01');
    // Its end goes back to the mode of before, as without the new start.
    game.kill();
    await backHome();
    game = spawn(exe, ['120'], { stdio: 'ignore' });
    await inGame();
    // Ended as by a crash; the game ends while the program is not running.
    await p.restart({ signal: 'SIGKILL', between: () => game.kill() });
    await p.until("window.kelvApp.alerts.some((a) => a.key === 'modes.switched' && a.vars.name === 'Default')", { timeoutMs: 15000 });
    await backHome();
    assert.deepEqual(await p.eval('window.kelvApp.state.boundRunning'), []);
  } finally {
    game.kill();
  }
});

test('"Start with the desktop" writes and removes the autostart entry', async () => {
  await go('settings');
  await p.until(`!!document.querySelector('[data-key="settings:autostart"]')`);
  const entry = path.join(p.home, '.config/autostart/kelv.desktop');
  assert.equal(fs.existsSync(entry), false);
  await click('settings:autostart');
  await p.until('window.kelvApp.state.session.autostart === true');
  const text = fs.readFileSync(entry, 'utf8');
  assert.ok(text.includes(`\nExec=${path.join(p.dir, 'kelv')} -autostart\n`) || text.includes(' -autostart\n'), text);
  assert.equal(await p.eval(`document.querySelector('[data-key="settings:autostart"]').checked`), true);
  await click('settings:autostart');
  await p.until('window.kelvApp.state.session.autostart === false');
  assert.equal(fs.existsSync(entry), false);
});

// An export file as this program wrote it before exports carried macros.
function oldExportFile(file, xml) {
  const base64 = Buffer.from(xml, 'utf8').toString('base64');
  const head = Buffer.alloc(8);
  head.writeUInt32BE(0x0a0b0c0d, 0);
  head.writeUInt32BE(base64.length, 4);
  fs.writeFileSync(file, Buffer.concat([head, Buffer.from(base64, 'latin1')]));
}

test('a mode with two macros, exported and imported into a fresh program folder, is the same mode', async () => {
  // "Sniper": two buttons run macros kept in slots 3 and 6.
  const index = await p.eval(`(async () => { const app = window.kelvApp; const pr = app.state.profile;
    const i = await app.modes.add(); app.modes.rename(i, 'Sniper');
    const key = (kind, scan) => ({ kind, scan, ext: 0 });
    pr.macros.push({ slot: 3, name: 'Burst', repeat: 0, count: 1, steps: [key('down', 57), { kind: 'delay', ms: 35 }, key('up', 57)] },
      { slot: 6, name: 'Reload', repeat: 3, count: 4, steps: [key('down', 19), { kind: 'delay', ms: 80 }, key('up', 19), { kind: 'delay', ms: 20 }, key('down', 28), { kind: 'delay', ms: 10 }, key('up', 28)] });
    pr.macros.sort((a, b) => a.slot - b.slot);
    const m = pr.modes.find((x) => x.index === i);
    m.buttons[3] = { type: 5, p1: 3, p2: 0, p3: 0 }; m.buttons[4] = { type: 5, p1: 6, p2: 3, p3: 4 };
    m.lighting.effect = 4; m.performance.stages[1].dpi = 2450;
    app.sync.markAll(); await app.modes.save(); return i; })()`);
  const source = await p.eval(`window.kelvApp.state.profile.modes.find((m) => m.index === '${index}')`);
  const sourceMacros = await p.eval('window.kelvApp.state.profile.macros');
  await go('modes');
  await p.click(`[data-key="mode-export:${index}"]`);
  await p.answerFileDialog('SaveFileDialog', null); // the name it proposes
  const file = path.join(p.home, 'Documents', 'Sniper.pfd');
  for (let i = 0; i < 100 && !fs.existsSync(file); i++) await sleep(100);
  assert.deepEqual([...fs.readFileSync(file).subarray(0, 4)], [0x0a, 0x0b, 0x0c, 0x0d], 'the export file format');
  await p.eval('window.kelvApp.modes.save()');
  assert.equal(profileText().split('<macros').length, 2, 'the profile keeps its macros in one place');

  const q = await Program.start();
  try {
    await q.until("window.kelvApp.state.deviceState === 'ready'");
    await q.eval("(location.hash = '#modes', true)");
    await q.until(`!!document.querySelector('[data-key="modes:import"]')`);
    await q.click('[data-key="modes:import"]');
    await q.answerFileDialog('OpenFileDialog', file);
    await q.until('window.kelvApp.state.profile.modes.length === 2', { timeoutMs: 15000 });
    const imported = await q.eval('window.kelvApp.state.profile.modes[1]');
    assert.equal(imported.name, 'Sniper', 'the stored name');
    assert.deepEqual(imported.performance, source.performance);
    assert.deepEqual(imported.lighting, source.lighting);
    // The macros went into the free slots 0 and 1; the buttons run them there.
    const macros = await q.eval('window.kelvApp.state.profile.macros');
    assert.deepEqual(macros.map((m) => m.slot), [0, 1]);
    const bySlot = (list, slot) => list.find((m) => m.slot === slot);
    for (let b = 0; b < 8; b++) {
      const want = source.buttons[b];
      const got = imported.buttons[b];
      if (want.type !== 5) { assert.deepEqual(got, want, `button ${b}`); continue; }
      assert.deepEqual({ ...got, p1: 0 }, { ...want, p1: 0 }, `button ${b}`);
      const { slot: _a, ...mine } = bySlot(sourceMacros, want.p1);
      const { slot: _b, ...theirs } = bySlot(macros, got.p1);
      assert.deepEqual(theirs, mine, `the macro of button ${b}`);
    }
    await q.until("window.kelvApp.state.macroStatus[0] === 'stored' && window.kelvApp.state.macroStatus[1] === 'stored'");

    // The same file again: asked first; "Keep both" adds a second mode and no macro twice.
    await q.click('[data-key="modes:import"]');
    await q.answerFileDialog('OpenFileDialog', file);
    await q.until(`!!document.querySelector('.dialog [data-key="dialog:alt"]')`);
    assert.match(await q.eval("document.querySelector('.dialog').textContent"), /already a mode named "Sniper"/);
    await q.click('.dialog [data-key="dialog:alt"]');
    await q.until('window.kelvApp.state.profile.modes.length === 3');
    assert.equal(await q.eval('window.kelvApp.state.profile.modes[2].name'), 'Sniper (2)');
    assert.equal(await q.eval('window.kelvApp.state.profile.macros.length'), 2);

    // A file exported before exports carried macros still imports, with its stored name.
    const old = path.join(q.root, 'old.pfd');
    oldExportFile(old, '<?xml version="1.0"?>\n<mode index="4" name="Old one" bindingProcess="C:\\game.exe">\n'
      + '\t<performance stageCount="2" activeStage="1" pollingRate="3" liftOff="1" angleSnap="1" debounce="6" motionSync="0" />\n'
      + '\t<lighting effect="1" color="#00ff00" brightness="40" speed="3" />\n</mode>\n');
    await q.click('[data-key="modes:import"]');
    await q.answerFileDialog('OpenFileDialog', old);
    await q.until('window.kelvApp.state.profile.modes.length === 4');
    const older = await q.eval('window.kelvApp.state.profile.modes[3]');
    assert.equal(older.name, 'Old one');
    assert.equal(older.bindingProcess, '');
    assert.equal(older.performance.stageCount, 2);
    assert.equal(older.lighting.color, '#00ff00');
  } finally {
    await q.stop();
  }
});

// The main window and the hot key's popup each show the page with a model of
// the profile of its own: what one of them changed is never undone by the
// other, and a change made just before the popup closes is kept.
test('edits in the popup and in the main window keep each other', async () => {
  const modeName = (text, index) => new RegExp(`<mode index="${index}" name="([^"]*)"`).exec(text)?.[1];
  const fileHas = async (check, what) => {
    for (let i = 0; i < 100 && !check(profileText()); i++) await sleep(100);
    assert.ok(check(profileText()), `${what}:\n${profileText()}`);
  };
  const last = await p.eval('window.kelvApp.state.profile.modes.at(-1).index');
  assert.notEqual(last, '0');
  const popup = await p.openPopup();
  let closed = false;
  try {
    // The main page follows the bound programs; the popup's leaves that to it.
    assert.equal(await p.eval('window.kelvApp.state.session.mainPage'), true);
    assert.equal(await popup.eval('window.kelvApp.state.session.mainPage'), false);
    // The main page renames mode 0; the popup edits another mode afterwards.
    await p.eval("(window.kelvApp.modes.rename('0', 'Main name'), true)");
    await fileHas((t) => modeName(t, '0') === 'Main name', 'the main page\'s name saved');
    await popup.until("window.kelvApp.state.profile.modes[0].name === 'Main name'");
    await popup.eval(`(window.kelvApp.modes.rename('${last}', 'Popup last'), true)`);
    await fileHas((t) => modeName(t, last) === 'Popup last', 'the popup\'s name saved');
    assert.equal(modeName(profileText(), '0'), 'Main name', 'the popup kept the main page\'s name');
    // Renamed in the popup, which the hot key closes at once.
    await popup.eval("(window.kelvApp.modes.rename('0', 'Popup name'), true)");
    p.xdotool('key', 'ctrl+alt+m');
    closed = true;
    for (let i = 0; i < 100 && !(await p.popupGone(popup)); i++) await sleep(100);
    assert.ok(await p.popupGone(popup), 'the popup closed');
  } finally {
    popup.close();
    // The later tests need the main window to be the one the page commands act on.
    if (!closed) p.xdotool('key', 'ctrl+alt+m');
  }
  await fileHas((t) => modeName(t, '0') === 'Popup name', 'the name given just before the popup closed saved');
  await p.until("window.kelvApp.state.profile.modes[0].name === 'Popup name'");
  // The main page's next change keeps what the popup did.
  const added = await p.eval('window.kelvApp.modes.add()');
  await fileHas((t) => modeName(t, added) !== undefined, 'the added mode saved');
  assert.equal(modeName(profileText(), '0'), 'Popup name');
  assert.equal(modeName(profileText(), last), 'Popup last');
});

test('reset to factory defaults restores the profile and the mouse', async () => {
  await go('modes');
  await click('modes:reset');
  await p.until("document.querySelector('.dialog .btn.danger') !== null");
  await p.eval("(document.querySelector('.dialog .btn.danger').click(), true)");
  await p.until("window.kelvApp.state.profile.modes.length === 1 && window.kelvApp.state.profile.macros.length === 0");
  await p.until("document.querySelector('.alert.info')?.textContent.includes('Factory defaults restored')");
  await p.until("window.kelvApp.state.deviceState === 'ready'");
  const factory = fs.readFileSync(path.join(p.dir, 'Resources/profiles/configuration.xml'), 'utf8').replace(/\r/g, '');
  for (let i = 0; i < 50 && profileText().replace(/\r/g, '') !== factory; i++) await sleep(100);
  assert.equal(profileText().replace(/\r/g, ''), factory);
  assert.equal(p.dcsim('prop', '8').trim(), '0239a7da5005');
  assert.ok(memory(0x1000, 32).every((b) => b === 0), 'the macro slot the old profile used is cleared');
});

test('unplugging shows what to do; plugging in brings the mouse back', async () => {
  await go('performance');
  p.dcsim('unplug');
  await p.until("document.querySelector('#offline-notice') !== null").catch(async (e) => {
    throw new Error(`${e.message} ${await p.eval('JSON.stringify({s: window.kelvApp.state.deviceState, r: window.kelvApp.device.refreshing, a: window.kelvApp.alerts.map((x) => x.text + x.detail)})')}`);
  });
  p.dcsim('plug');
  await p.until("window.kelvApp.state.deviceState === 'ready'");
  await p.until(`!!document.querySelector('[data-key="dpi-num:0"]')`);
});

// The program's renderer processes: forked by its zygote, they keep the
// zygote's command line.
function renderers(pid) {
  const parentOf = (p) => { try { return Number(fs.readFileSync(`/proc/${p}/stat`, 'utf8').split(') ')[1].split(' ')[1]); } catch { return 0; } };
  const isZygote = (p) => { try { return fs.readFileSync(`/proc/${p}/cmdline`, 'utf8').includes('--type=zygote'); } catch { return false; } };
  return fs.readdirSync('/proc').filter((d) => /^\d+$/.test(d)).map(Number)
    .filter((p) => isZygote(p) && isZygote(parentOf(p)) && parentOf(parentOf(p)) === pid);
}

test('a page whose renderer crashed comes back and works', async () => {
  const q = await Program.start();
  try {
    await q.until("window.kelvApp.state.deviceState === 'ready'");
    await q.eval("(location.hash = '#lighting', true)");
    const before = renderers(q.proc.pid);
    assert.equal(before.length, 1, 'one page, one renderer');
    process.kill(before[0], 'SIGKILL');
    q.cdp.close();
    await q.connect();
    await q.until("window.kelvApp.state.deviceState === 'ready'");
    assert.equal(await q.eval('location.hash'), '#lighting', 'on the screen it showed');
    assert.notDeepEqual(renderers(q.proc.pid), before);
    // The new page talks to the mouse.
    await q.eval("window.kelvApp.modes.change((m) => { m.performance.stages[0].dpi = 1500; }, [2])");
    await q.until("window.kelvApp.state.live.performance.stages[0].dpi === 1500");
  } finally {
    await q.stop();
  }
});

test('edits made a moment before the program is asked to end are saved, in the window and in the popup', async () => {
  // The page holds edits back 0.4 s; SIGTERM (a session ending) comes sooner.
  // Two modes edited: the page sends them one after the other.
  const dpis = { window: [1234, 2345], popup: [3456, 4567] };
  for (const where of ['window', 'popup']) {
    const q = await Program.start();
    let popup = null;
    try {
      await q.until("window.kelvApp.state.deviceState === 'ready'");
      if (where === 'popup') popup = await q.openPopup();
      await (popup ?? q).eval('window.kelvApp.modes.add()');
      await (popup ?? q).eval(`(() => {
        const app = window.kelvApp;
        const [first, last] = ${JSON.stringify(dpis[where])};
        const modes = app.state.profile.modes;
        modes[0].performance.stages[0].dpi = first;
        modes.at(-1).performance.stages[0].dpi = last;
        app.sync.markMode(modes[0].index);
        app.sync.markMode(modes.at(-1).index);
        return true;
      })()`);
      q.proc.kill('SIGTERM');
      await Promise.race([q.exited, sleep(10000)]);
      assert.notEqual(q.proc.exitCode, null, `${where}: the program ended`);
      const text = fs.readFileSync(path.join(q.dir, 'view/xml/configuration.xml'), 'utf8');
      for (const dpi of dpis[where]) assert.ok(text.includes(`dpi="${dpi}"`), `${where}, ${dpi}:\n${text}`);
    } finally {
      popup?.close();
      await q.stop();
    }
  }
});

// The process that answers on the instance socket ("RES:<pid>;" to any
// command; only "show" shows the window), or 0 when none does.
function instancePid(socketPath) {
  return new Promise((resolve) => {
    let received = '';
    const socket = net.connect(socketPath, () => socket.write('CMD:pid;'));
    socket.on('data', (d) => {
      received += d;
      const m = /RES:(\d+);/.exec(received);
      if (m) { socket.destroy(); resolve(Number(m[1])); }
    });
    socket.on('error', () => resolve(0));
    socket.on('close', () => resolve(0));
  });
}

test('a start made while the program is quitting is not lost: the program starts again', async () => {
  const q = await Program.start();
  let again = 0;
  try {
    await q.until("window.kelvApp.state.deviceState === 'ready'");
    // The page says its edits are still on their way: the quit waits for it
    // (up to its time limit), and a start comes meanwhile.
    await q.eval('(window.kelvSendPendingEdits = () => true, true)');
    q.proc.kill('SIGTERM');
    await sleep(500);
    assert.equal(q.proc.exitCode, null, 'still quitting');
    const second = spawn(path.join(q.dir, 'kelv'), [], { env: q.env, cwd: q.dir, stdio: 'ignore' });
    const secondEnded = new Promise((r) => second.on('exit', r));
    assert.equal(await Promise.race([secondEnded, sleep(10000).then(() => 'running')]), 0, 'the second start was answered and ended');
    await Promise.race([q.exited, sleep(10000)]);
    assert.equal(q.proc.exitCode, 0, 'the quitting instance ended');
    // Once it has ended, the program runs again and shows its window.
    const socket = path.join(q.root, 'instance');
    for (let i = 0; i < 150 && !again; i++) {
      again = await instancePid(socket);
      if (!again) await sleep(200);
    }
    assert.ok(again && again !== q.proc.pid, `the program started again:\n${q.log}`);
    let shown = '';
    for (let i = 0; i < 150 && !shown; i++) {
      try { shown = q.xdotool('search', '--onlyvisible', '--name', 'Gaming Mouse Software').trim(); } catch { await sleep(200); }
    }
    assert.ok(shown, 'its window is shown');
  } finally {
    if (again) {
      try { process.kill(again, 'SIGTERM'); } catch { /* ended */ }
      for (let i = 0; i < 100 && fs.existsSync(`/proc/${again}`); i++) await sleep(100);
    }
    await q.stop();
  }
});

test('a broken profile is reported, kept as it is, and the mouse keeps its settings', async () => {
  // The mouse holds settings of its own (wave lighting, 3 stages) ...
  const simDir = path.join(p.root, 'sim-broken');
  const first = await Program.start({ simDir });
  try {
    await first.until("window.kelvApp.state.deviceState === 'ready'");
    await first.eval("window.kelvApp.modes.change((m) => { m.lighting.effect = 4; m.performance.activeStage = 0; m.performance.stageCount = 3; }, [8, 2, 1])");
    assert.equal(first.dcsim('prop', '8').trim(), '0439a7da5005');
  } finally {
    await first.stop();
  }
  // ... and the next start finds a profile that does not parse.
  const broken = '<conf><modeSetting current="0"><modes><mode index="0"';
  const q = await Program.start({ profile: broken, simDir });
  try {
    await q.until("document.querySelector('.alert.error') !== null");
    await q.until("window.kelvApp.state.deviceState === 'ready'");
    const text = await q.eval("document.querySelector('.alert.error strong').textContent");
    assert.equal(text, 'The profile file could not be read.');
    assert.equal(await q.eval('window.kelvApp.mode.lighting.effect'), 4, 'the page shows what the mouse holds');
    await q.eval('window.kelvApp.modes.save()');
    assert.equal(fs.readFileSync(path.join(q.dir, 'view/xml/configuration.xml'), 'utf8'), broken);
    assert.equal(q.dcsim('prop', '1').trim(), '03');
    assert.equal(q.dcsim('prop', '8').trim(), '0439a7da5005');
  } finally {
    await q.stop();
  }
});

test('closing where the desktop has no tray minimises the window and says so once', async () => {
  // Xvfb has no notification area.
  await p.until('window.kelvApp.state.session.tray === false');
  await go('settings');
  await p.until("document.body.textContent.includes('This desktop has no notification area')");
  const closes = () => (p.log.match(/no notification area: minimised/g) ?? []).length;
  // The first close says what happens; the page has its answer while the
  // message still waits for the user.
  const answer = await p.eval("window.kelvApp.bridge.call('closeApp', {}, { timeoutMs: 5000 }).catch((e) => 'no answer: ' + e.message)");
  assert.equal(answer, 'modify conf sucess');
  await p.answerMessage('kelv keeps running');
  for (let i = 0; i < 50 && closes() < 1; i++) await sleep(100);
  assert.equal(closes(), 1, p.log);
  assert.match(fs.readFileSync(path.join(p.dir, 'Resources/profiles/conf.xml'), 'utf8'), /trayNoticeShown="1"/);
  // Never hidden: the window stays on the screen's task list, the page visible.
  assert.ok(p.xdotool('search', '--onlyvisible', '--name', 'Gaming Mouse Software').trim());
  assert.equal(await p.eval('document.visibilityState'), 'visible');
  await p.click('#win-close');
  for (let i = 0; i < 50 && closes() < 2; i++) await sleep(100);
  assert.equal(closes(), 2);
  assert.equal(await p.dialogWindow('kelv keeps running', { timeoutMs: 1000 }), '', 'said once');
});

test('the note of an update that was rolled back is shown in the user\'s language', async () => {
  const q = await Program.start({ language: 'de-DE' });
  try {
    // What a start that rolled back a cut-off install leaves for the next one.
    await q.restart({ between: () => {
      fs.mkdirSync(path.join(q.dir, 'tupdates/client'), { recursive: true });
      fs.writeFileSync(path.join(q.dir, 'tupdates/client/rollback.txt'), 'The update was interrupted before all its files were in place and has been rolled back. The previous version has been restored.');
    } });
    await q.answerMessage('Update zurückgenommen');
    assert.match(q.log, /update rolled back: The update was interrupted/);
    assert.equal(await q.dialogWindow('Update rolled back', { timeoutMs: 500 }), '');
  } finally {
    await q.stop();
  }
});
