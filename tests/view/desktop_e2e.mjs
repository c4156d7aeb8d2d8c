// The program on the user's own desktop, in the real program under Xvfb, as a
// user meets it: the maximise button on a desktop with two screens, the
// System screen showing what each desktop holds, a profile folder kelv may not
// write. Run by ctest as view_desktop.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { Program, sleep } from './harness.mjs';

// The program's window as the X server has it: [x, y, width, height].
function windowGeometry(p) {
  const id = p.xdotool('search', '--onlyvisible', '--pid', String(p.proc.pid)).trim().split('\n')[0];
  const shell = p.xdotool('getwindowgeometry', '--shell', id);
  const value = (name) => Number(new RegExp(`${name}=(-?\\d+)`).exec(shell)[1]);
  return [value('X'), value('Y'), value('WIDTH'), value('HEIGHT')];
}

async function untilGeometry(p, want) {
  let got;
  for (let i = 0; i < 50; i++) {
    got = windowGeometry(p);
    if (JSON.stringify(got) === JSON.stringify(want)) return got;
    await sleep(100);
  }
  return got;
}

// Two screens side by side, the window on the right one: the maximise button
// fills the right one (it used to fill the primary, left one), and restore
// brings the window back where it was.
test('maximise fills the screen the window is on', async () => {
  const p = await Program.start({ width: 800, height: 600, monitors: ['960x1080+0+0', '960x1080+960+0'] });
  try {
    await p.eval(`window.cefQuery({ request: 'moveWindow:0,0,800,600' }), true`);
    const start = windowGeometry(p);
    const dx = 1060 - start[0];
    const dy = 100 - start[1];
    await p.eval(`window.cefQuery({ request: 'moveWindow:${dx},${dy},800,600' }), true`);
    assert.deepEqual(await untilGeometry(p, [1060, 100, 800, 600]), [1060, 100, 800, 600]);
    await p.click('#win-max');
    assert.deepEqual(await untilGeometry(p, [960, 0, 960, 1080]), [960, 0, 960, 1080], 'the right screen');
    await p.click('#win-max');
    assert.deepEqual(await untilGeometry(p, [1060, 100, 800, 600]), [1060, 100, 800, 600], 'back where it was');
    // On the left screen it fills the left one.
    await p.eval(`window.cefQuery({ request: 'moveWindow:-1000,0,800,600' }), true`);
    assert.deepEqual(await untilGeometry(p, [60, 100, 800, 600]), [60, 100, 800, 600]);
    await p.click('#win-max');
    assert.deepEqual(await untilGeometry(p, [0, 0, 960, 1080]), [0, 0, 960, 1080], 'the left screen');
  } finally {
    await p.stop();
  }
});

// A desktop session of the test's own: a D-Bus session bus (which starts the
// desktops' settings services, dconf-service and xfconfd, on demand) over a
// configuration folder of its own. tool() runs a desktop's own tool there.
async function desktopSession() {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'kelv-session-'));
  const env = { ...process.env, HOME: root, XDG_CONFIG_HOME: path.join(root, 'config'), XDG_RUNTIME_DIR: path.join(root, 'run'), GSETTINGS_BACKEND: 'dconf' };
  fs.mkdirSync(env.XDG_RUNTIME_DIR, { mode: 0o700 });
  const bus = spawn('dbus-daemon', ['--session', '--nofork', '--nopidfile', '--print-address=1'], { env, stdio: ['ignore', 'pipe', 'ignore'] });
  env.DBUS_SESSION_BUS_ADDRESS = await new Promise((resolve, reject) => {
    let out = '';
    bus.stdout.on('data', (d) => { out += d; if (out.includes('\n')) resolve(out.trim()); });
    bus.on('exit', (code) => reject(new Error(`dbus-daemon ended with ${code}`)));
  });
  return {
    env,
    tool: (program, ...args) => execFileSync(program, args, { env, encoding: 'utf8' }),
    stop() { bus.kill(); fs.rmSync(root, { recursive: true, force: true }); },
  };
}

// Each slider of the System screen as shown: [position, the text beside it].
const systemSliders = (p) => p.eval(`JSON.stringify([...document.querySelectorAll('.sys-row')].map((row) => [Number(row.querySelector('input').value), row.querySelector('output').textContent]))`);

async function untilSliders(p, want) {
  let got = '';
  for (let i = 0; i < 100 && got !== JSON.stringify(want); i++) {
    got = await systemSliders(p);
    if (got !== JSON.stringify(want)) await sleep(100);
  }
  return JSON.parse(got);
}

// Each desktop's values set with its own tool (as its own settings dialog
// sets them) are what the System screen shows; the screen used to show what
// kelv set last, and 620 ms for a double-click time never set.
test('the System screen shows what each desktop holds, set with its own tool', async () => {
  const session = await desktopSession();
  const { env } = session;
  const p = await Program.start({ width: 1024, height: 680, extraEnv: {
    XDG_CONFIG_HOME: env.XDG_CONFIG_HOME, DBUS_SESSION_BUS_ADDRESS: env.DBUS_SESSION_BUS_ADDRESS,
    GSETTINGS_BACKEND: 'dconf', XDG_CURRENT_DESKTOP: 'GNOME', XDG_SESSION_TYPE: 'x11' } });
  try {
    await p.click('[data-key="nav:system"]');
    // Never set: GNOME's own 400 ms and middle speed; GNOME has no wheel lines.
    assert.deepEqual(await untilSliders(p, [[10, '10'], [3, '3 lines'], [8, '400 ms']]), [[10, '10'], [3, '3 lines'], [8, '400 ms']]);
    session.tool('gsettings', 'set', 'org.gnome.desktop.peripherals.mouse', 'double-click', '444');
    session.tool('gsettings', 'set', 'org.gnome.desktop.peripherals.mouse', 'speed', '0.3');
    // Read again when the screen is opened again.
    await p.click('[data-key="nav:performance"]');
    await p.click('[data-key="nav:system"]');
    assert.deepEqual(await untilSliders(p, [[13, '13'], [3, '3 lines'], [8, '444 ms']]), [[13, '13'], [3, '3 lines'], [8, '444 ms']], 'GNOME');

    const desktops = [
      ['X-Cinnamon', () => {
        session.tool('gsettings', 'set', 'org.cinnamon.desktop.peripherals.mouse', 'double-click', '610');
        session.tool('gsettings', 'set', 'org.cinnamon.desktop.peripherals.mouse', 'speed', '-1');
      }, [[1, '1'], [3, '3 lines'], [5, '610 ms']]],
      ['MATE', () => {
        session.tool('gsettings', 'set', 'org.mate.peripherals-mouse', 'motion-acceleration', '5.5');
        session.tool('gsettings', 'set', 'org.mate.peripherals-mouse', 'double-click', '900');
      }, [[11, '11'], [3, '3 lines'], [1, '900 ms']]],
      ['KDE', () => {
        session.tool('kwriteconfig5', '--file', 'kdeglobals', '--group', 'KDE', '--key', 'DoubleClickInterval', '321');
        session.tool('kwriteconfig5', '--file', 'kdeglobals', '--group', 'KDE', '--key', 'WheelScrollLines', '9');
        session.tool('kwriteconfig5', '--file', 'kcminputrc', '--group', 'Mouse', '--key', 'XLbInptPointerAcceleration', '0.5');
      }, [[15, '15'], [9, '9 lines'], [9, '321 ms']]],
      ['XFCE', () => {
        session.tool('xfconf-query', '-c', 'xsettings', '-p', '/Net/DoubleClickTime', '-n', '-t', 'int', '-s', '250');
        session.tool('xfconf-query', '-c', 'pointers', '-p', '/Test_Mouse/Acceleration', '-n', '-t', 'double', '-s', '3.0');
      }, [[6, '6'], [3, '3 lines'], [10, '250 ms']]],
    ];
    for (const [desktop, set, want] of desktops) {
      set();
      p.env.XDG_CURRENT_DESKTOP = desktop;
      await p.restart();
      await p.click('[data-key="nav:system"]');
      assert.deepEqual(await untilSliders(p, want), want, desktop);
    }
  } finally {
    await p.stop();
    session.stop();
  }
});

// A profile folder kelv may not write: as root (CI) a read-only mount of it in
// a mount namespace of the program's own (root may write any folder), as
// another user its permissions.
function readOnlyProfileFolder(p) {
  const folder = path.join(p.dir, 'view/xml');
  if (process.getuid() !== 0) {
    fs.chmodSync(path.join(folder, 'configuration.xml'), 0o444);
    fs.chmodSync(folder, 0o555);
    return [];
  }
  return ['unshare', '-m', 'sh', '-c', 'mount --bind "$0" "$0" && mount -o remount,ro,bind "$0" "$0" && exec "$1"', folder];
}

// Edits kelv cannot save were lost at quit without a word: the page says so
// from the start, in the user's language and with what to do, a change shows
// "Changes not saved", and quitting asks first (cancelled: kelv keeps running).
test('a profile folder kelv may not write is said in the page, and quitting asks first', async () => {
  const p = await Program.start({ width: 1024, height: 680, language: 'de-DE', wrapper: readOnlyProfileFolder });
  try {
    const folder = path.join(p.dir, 'view/xml');
    await p.until(`document.body.innerText.includes('kelv kann Ihre Änderungen nicht speichern') && document.body.innerText.includes(${JSON.stringify(folder)})`);
    assert.ok(await p.eval(`document.body.innerText.includes('Erneut versuchen')`), 'with what to do');
    // A change: the title bar says it is not saved.
    await p.eval(`kelvApp.modes.rename(kelvApp.mode.index, 'Arbeit'), true`);
    await p.until(`kelvApp.state.saveState === 'failed'`, { timeoutMs: 15000 });
    assert.equal(await p.eval(`kelvApp.alerts.filter((a) => a.key === 'error.readOnly').length`), 1, 'said once');
    // The close button set to quit: the program asks first; Cancel keeps it.
    await p.eval(`kelvApp.settings.set('closeFunc', 'closeapp')`);
    await p.click('#win-close');
    // (xdotool's search takes ASCII only.)
    const dialog = await p.dialogWindow('nicht gespeichert', { timeoutMs: 15000 });
    assert.ok(dialog, `the quit did not ask:\n${p.log}`);
    await sleep(300);
    p.xdotool('windowfocus', '--sync', dialog);
    // xdotool fails when the window goes between the press and the release.
    try { p.xdotool('key', '--window', dialog, 'Escape'); } catch { /* gone */ }
    try { p.xdotool('keyup', 'Escape'); } catch { /* nothing held */ }
    await sleep(1500);
    assert.equal(p.proc.exitCode, null, 'kelv keeps running');
    assert.match(p.log, /quit cancelled: edits could not be saved/);
    // A session that ends has nobody to ask: it quits, and the log says what was lost.
    p.proc.kill('SIGTERM');
    await Promise.race([p.exited, sleep(15000)]);
    assert.equal(p.proc.exitCode, 0);
    assert.match(p.log, /quitting with edits that could not be saved in/);
  } finally {
    await p.stop();
  }
});
