// The page in the real program (Qt WebEngine, the native bridge, libdc's
// simulated mouse, the X RECORD macro recorder, the program monitor), driven
// through Chromium's remote debugging. Run by ctest as view_e2e.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { spawn } from 'node:child_process';
import { Program, sleep } from './harness.mjs';

let p;
before(async () => { p = await Program.start({ width: 800, height: 600 }); });
after(async () => { await p?.stop(); });

const click = (key) => p.eval(`(() => { const el = document.querySelector('[data-key="${key}"]'); if (!el) throw new Error('no ${key}'); el.click(); return true; })()`);
const setValue = (key, value) => p.eval(`(() => { const el = document.querySelector('[data-key="${key}"]'); el.value = ${JSON.stringify(String(value))};
  el.dispatchEvent(new Event('input', { bubbles: true })); el.dispatchEvent(new Event('change', { bubbles: true })); return true; })()`);
const go = (screen) => p.eval(`(location.hash = '#${screen}', true)`);
const profileText = () => fs.readFileSync(path.join(p.dir, 'view/xml/configuration.xml'), 'utf8');

const answerDialog = (caption, file) => p.answerFileDialog(caption, file);

function memory(address, size) {
  return p.dcsim('mem', address.toString(16), String(size)).trim().split('\n')
    .flatMap((line) => line.split(':')[1].trim().split(/\s+/).map((x) => parseInt(x, 16)));
}

test('the page shows the simulated mouse', async () => {
  const conf = await p.eval("window.kelvApp.bridge.call('getConf', {}, { timeoutMs: 5000 }).catch((e) => 'no answer: ' + e.message)");
  assert.ok(conf.startsWith('[{'), `the program answers page commands (getConf: ${conf})`);
  await p.until("window.kelvApp.state.deviceState === 'ready'");
  const name = await p.eval("document.querySelector('#device-name').textContent");
  assert.equal(name, 'KELV-M1');
  const chip = await p.eval("document.querySelector('.device-chip small').textContent");
  assert.match(chip, /1\.0\.0/);
  assert.match(chip, /KM1\d{9}/);
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

test('changing a DPI stage changes the mouse and the profile', async () => {
  await go('performance');
  await p.until(`!!document.querySelector('[data-key="dpi-num:0"]')`);
  await setValue('dpi-num:0', 1234); // kept to steps of 50
  let prop = '';
  for (let i = 0; i < 50 && !prop.startsWith('e204'); i++) { prop = p.dcsim('prop', '3').trim(); await sleep(100); }
  assert.equal(prop.slice(0, 4), 'e204', `1250 DPI = 0x04e2 little-endian, got ${prop}`);
  // Polling rate through the segmented control.
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

test('a mode exported to a .pfd file comes back as a new mode', async () => {
  await go('modes');
  await p.eval(`(async () => { const app = window.kelvApp; await app.modes.change((m) => { m.lighting.effect = 4; m.performance.stages[1].dpi = 2450; }, [8, 3]); return true; })()`);
  const file = path.join(p.home, 'Documents', 'fast');
  await click('mode-export:0');
  await answerDialog('SaveFileDialog', file);
  for (let i = 0; i < 100 && !fs.existsSync(`${file}.pfd`); i++) await sleep(100);
  const bytes = fs.readFileSync(`${file}.pfd`);
  assert.deepEqual([...bytes.subarray(0, 4)], [0x0a, 0x0b, 0x0c, 0x0d], 'the export file format');
  const count = await p.eval('window.kelvApp.state.profile.modes.length');
  await click('modes:import');
  await answerDialog('OpenFileDialog', `${file}.pfd`);
  await p.until(`window.kelvApp.state.profile.modes.length === ${count + 1}`);
  const imported = await p.eval('window.kelvApp.state.profile.modes.at(-1)');
  assert.equal(imported.name, 'fast');
  assert.equal(imported.lighting.effect, 4);
  assert.equal(imported.performance.stages[1].dpi, 2450);
  assert.equal(imported.bindingProcess, '');
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
