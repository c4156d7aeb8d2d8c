// Starts the real program from a throw-away copy of the program folder, on a
// private Xvfb, with the simulated mouse in a temporary state folder and
// Chromium's remote debugging on a free port; drives it through Cdp.
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { Cdp, getJson } from './cdp.mjs';

const KEYS = {
  Tab: { key: 'Tab', code: 'Tab', vk: 9 },
  Enter: { key: 'Enter', code: 'Enter', vk: 13, text: '\r' },
  Space: { key: ' ', code: 'Space', vk: 32, text: ' ' },
  Escape: { key: 'Escape', code: 'Escape', vk: 27 },
  ArrowDown: { key: 'ArrowDown', code: 'ArrowDown', vk: 40 },
  ArrowUp: { key: 'ArrowUp', code: 'ArrowUp', vk: 38 },
};
for (let d = 0; d <= 9; d++) KEYS[String(d)] = { key: String(d), code: `Digit${d}`, vk: 48 + d, text: String(d) };

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function freePort() {
  return new Promise((resolve, reject) => {
    const srv = net.createServer();
    srv.listen(0, '127.0.0.1', () => { const { port } = srv.address(); srv.close(() => resolve(port)); });
    srv.on('error', reject);
  });
}

// Xvfb picks a free display itself (-displayfd) and writes its number.
// monitors (e.g. ['960x1080+0+0', '960x1080+960+0']) splits its one screen into
// monitors as a desktop with two screens has them (RandR monitors, set with
// xrandr; the server keeps them across its clients: -noreset).
export function startXvfb(size = '1920x1080x24', { monitors = [] } = {}) {
  return new Promise((resolve, reject) => {
    const args = ['-displayfd', '3', '-screen', '0', size, '-nolisten', 'tcp', '+extension', 'RECORD'];
    if (monitors.length) args.push('-noreset');
    const p = spawn('Xvfb', args, { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
    let out = '';
    p.stdio[3].on('data', (d) => {
      out += d;
      if (!out.includes('\n')) return;
      const display = `:${out.trim()}`;
      try {
        monitors.forEach((m, i) => {
          const [, w, h, x, y] = /^(\d+)x(\d+)\+(\d+)\+(\d+)$/.exec(m);
          // The first takes the server's one output, the others are virtual.
          execFileSync('xrandr', ['--setmonitor', `kelv${i}`, `${w}/${w}x${h}/${h}+${x}+${y}`, i === 0 ? 'screen' : 'none'],
            { env: { ...process.env, DISPLAY: display }, stdio: 'ignore' });
        });
      } catch (e) { p.kill(); reject(e); return; }
      resolve({ process: p, display });
    });
    p.on('error', reject);
    p.on('exit', (code) => reject(new Error(`Xvfb ended with ${code}`)));
  });
}

// A notification area on the display (kelv_tray_host), as a desktop's panel has one.
export function startTray(display) {
  const host = process.env.KELV_TRAY_HOST ?? path.resolve(new URL('../../build/bin/kelv_tray_host', import.meta.url).pathname);
  return new Promise((resolve, reject) => {
    const p = spawn(host, [], { env: { ...process.env, DISPLAY: display }, stdio: ['ignore', 'pipe', 'inherit'] });
    let out = '';
    p.stdout.on('data', (d) => {
      out += d;
      if (out.includes('tray\n')) resolve(p);
    });
    p.on('error', reject);
    p.on('exit', (code) => reject(new Error(`kelv_tray_host ended with ${code}`)));
  });
}

export function builtProgramFolder() {
  const dir = process.env.KELV_PROGRAM_DIR ?? path.resolve(new URL('../../build/program', import.meta.url).pathname);
  if (!fs.existsSync(path.join(dir, 'kelv'))) throw new Error(`no program in ${dir} (set KELV_PROGRAM_DIR)`);
  return dir;
}

// The account of user name, made when missing, to run the program as where
// this runs as root (as CI does): root may do what a user's program may not
// (page out the system's libraries, for one). Null elsewhere: the program runs
// as the user running this.
function accountOf(name) {
  if (!name || process.getuid?.() !== 0) return null;
  const id = (flag) => Number(execFileSync('id', [flag, name], { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] }));
  try {
    id('-u');
  } catch {
    execFileSync('useradd', ['--system', '--no-create-home', '--shell', '/usr/sbin/nologin', name]);
  }
  return { uid: id('-u'), gid: id('-g') };
}

export class Program {
  // prepare(dir): changes the copied program folder before the program starts.
  // user: run the program as this unprivileged user where this runs as root
  // (its folders are handed to it; Chromium's sandbox stays on).
  static async start({ width = 800, height = 600, language = 'en', programDir = builtProgramFolder(), display = null, extraEnv = {}, profile = null, simDir = null, tray = false, prepare = null, monitors = [], wrapper = null, user = null } = {}) {
    const p = new Program();
    p.root = fs.mkdtempSync(path.join(os.tmpdir(), 'kelv-page-'));
    p.dir = path.join(p.root, 'program');
    fs.cpSync(programDir, p.dir, { recursive: true, filter: (src) => !/\/simulator(\/|$)/.test(src) });
    // A fresh page profile from the factory one, and settings for this run.
    if (profile === null) fs.copyFileSync(path.join(p.dir, 'Resources/profiles/configuration.xml'), path.join(p.dir, 'view/xml/configuration.xml'));
    else fs.writeFileSync(path.join(p.dir, 'view/xml/configuration.xml'), profile);
    const confPath = path.join(p.dir, 'Resources/profiles/conf.xml');
    let conf = fs.readFileSync(confPath, 'utf8');
    conf = conf.replace(/clientSize="[^"]*"/, `clientSize="${width},${height}"`).replace(/language="[^"]*"/, `language="${language}"`);
    fs.writeFileSync(confPath, conf);
    if (prepare) await prepare(p.dir);
    p.simDir = simDir ?? path.join(p.root, 'sim');
    fs.mkdirSync(p.simDir, { recursive: true });
    p.home = path.join(p.root, 'home');
    fs.mkdirSync(path.join(p.home, 'Documents'), { recursive: true });
    if (!display) {
      p.xvfb = await startXvfb(undefined, { monitors });
      display = p.xvfb.display;
    }
    p.display = display;
    if (tray) p.tray = await startTray(display);
    p.port = await freePort();
    // What processes of the program's user are started with (spawn options).
    p.runAs = accountOf(user) ?? {};
    if (p.runAs.uid !== undefined) execFileSync('chown', ['-R', `${p.runAs.uid}:${p.runAs.gid}`, p.root]);
    p.env = {
      ...process.env,
      DISPLAY: display,
      QT_QPA_PLATFORM: 'xcb',
      QTWEBENGINE_DISABLE_SANDBOX: '1',
      QTWEBENGINE_REMOTE_DEBUGGING: String(p.port),
      DC_SIM_DIR: p.simDir,
      KELV_INSTANCE_SERVER: path.join(p.root, 'instance'),
      HOME: p.home,
      XDG_CONFIG_HOME: path.join(p.home, '.config'),
      XDG_CACHE_HOME: path.join(p.home, '.cache'),
      XDG_RUNTIME_DIR: p.root,
      LIBGL_ALWAYS_SOFTWARE: '1',
      ...extraEnv,
    };
    delete p.env.WAYLAND_DISPLAY;
    if (p.runAs.uid !== undefined) {
      delete p.env.QTWEBENGINE_DISABLE_SANDBOX;
      delete p.env.DBUS_SESSION_BUS_ADDRESS;
      Object.assign(p.env, { USER: user, LOGNAME: user });
    }
    // wrapper(p): the command words the program is started under (its path
    // follows them), e.g. a mount namespace of its own.
    p.wrapper = wrapper;
    p.log = '';
    p.launch();
    await p.connect();
    return p;
  }

  launch() {
    this.startedAt = Date.now();
    const words = [...(this.wrapper ? this.wrapper(this) : []), path.join(this.dir, 'kelv')];
    this.proc = spawn(words[0], words.slice(1), { env: this.env, cwd: this.dir, stdio: ['ignore', 'pipe', 'pipe'], ...this.runAs });
    this.proc.stdout.on('data', (d) => { this.log += d; });
    this.proc.stderr.on('data', (d) => { this.log += d; });
    this.exited = new Promise((r) => this.proc.on('exit', r));
  }

  // Ends the program (signal SIGTERM: it quits as at the end of the session;
  // SIGKILL: as a crash ends it), runs between() meanwhile, and starts it
  // again over the same folders: the same profile, mouse and page storage.
  async restart({ signal = 'SIGTERM', between = () => {} } = {}) {
    try { this.cdp?.close(); } catch { /* closed */ }
    this.proc.kill(signal);
    await Promise.race([this.exited, sleep(15000)]);
    if (this.proc.exitCode === null && this.proc.signalCode === null) throw new Error(`the program did not end:\n${this.log}`);
    await between();
    this.launch();
    await this.connect();
  }

  async connect() {
    const end = Date.now() + 60000;
    for (;;) {
      if (this.proc.exitCode !== null) throw new Error(`the program ended (${this.proc.exitCode}):\n${this.log}`);
      try {
        const targets = await getJson(this.port, '/json');
        if (targets.some((t) => t.type === 'page' && /view\/index\.html/.test(t.url))) break;
      } catch { /* not up yet */ }
      if (Date.now() > end) throw new Error(`no page after 60 s:\n${this.log}`);
      await sleep(200);
    }
    this.cdp = await Cdp.connect(this.port, (t) => t.type === 'page' && /view\/index\.html/.test(t.url));
    await this.cdp.until("document.documentElement.dataset.ready === '1'", { timeoutMs: 30000 });
    this.readyAt = Date.now();
  }

  // The page of the mouse-configuration popup: presses the hot key (the
  // factory Ctrl+Alt+M) and connects to the page that appears, once it is
  // ready. close() on the result ends the connection, not the popup.
  async openPopup() {
    const pages = async () => (await getJson(this.port, '/json')).filter((t) => t.type === 'page' && /view\/index\.html/.test(t.url));
    const before = (await pages()).map((t) => t.id);
    this.xdotool('key', 'ctrl+alt+m');
    let popup = null;
    for (let i = 0; i < 100 && !popup; i++) {
      popup = (await pages()).find((t) => !before.includes(t.id)) ?? null;
      if (!popup) await sleep(200);
    }
    if (!popup) throw new Error(`the hot key opened no popup:\n${this.log}`);
    const cdp = await Cdp.connect(this.port, (t) => t.id === popup.id);
    await cdp.until("document.documentElement.dataset.ready === '1'", { timeoutMs: 30000 });
    cdp.targetId = popup.id;
    return cdp;
  }

  // Whether the popup's page still exists.
  async popupGone(cdp) {
    return !(await getJson(this.port, '/json')).some((t) => t.id === cdp.targetId);
  }

  dcsim(...args) {
    return execFileSync(path.join(this.dir, 'dcsim'), args, { env: this.env, encoding: 'utf8', ...this.runAs });
  }

  xdotool(...args) {
    return execFileSync('xdotool', args, { env: this.env, encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] });
  }

  // The X window of the program's dialog with that title, once it is shown.
  async dialogWindow(caption, { timeoutMs = 10000 } = {}) {
    const end = Date.now() + timeoutMs;
    for (;;) {
      try { return this.xdotool('search', '--onlyvisible', '--name', caption).trim().split('\n')[0]; } catch { /* not yet */ }
      if (Date.now() > end) return '';
      await sleep(100);
    }
  }

  // Answers the program's file dialog (found by its caption) by typing a path
  // (file null: takes the name the dialog proposes).
  async answerFileDialog(caption, file) {
    const win = await this.dialogWindow(caption);
    if (!win) throw new Error(`the ${caption} dialog did not open`);
    await sleep(500);
    this.xdotool('windowfocus', '--sync', win);
    if (file !== null) this.xdotool('type', '--window', win, '--delay', '20', file);
    // A completion list may take the first Return: press it until the dialog is gone.
    try {
      for (let i = 0; i < 5; i++) {
        try { this.xdotool('key', '--window', win, 'Return'); } catch { return; } // the dialog is gone
        await sleep(400);
        let visible = '';
        try { visible = this.xdotool('search', '--onlyvisible', '--name', caption).trim(); } catch { return; }
        if (!visible.split('\n').includes(win)) return;
      }
    } finally {
      // xdotool stops with an error when the window goes away between the press
      // and the release; a Return left down would repeat into the next steps.
      try { this.xdotool('keyup', 'Return'); } catch { /* nothing held */ }
    }
  }

  // Answers the program's message box with that title by pressing Return.
  async answerMessage(caption) {
    const win = await this.dialogWindow(caption);
    if (!win) throw new Error(`the message "${caption}" was not shown`);
    await sleep(300);
    this.xdotool('windowfocus', '--sync', win);
    // xdotool fails when the window goes between the press and the release.
    try { this.xdotool('key', '--window', win, 'Return'); } catch { /* gone */ }
    try { this.xdotool('keyup', 'Return'); } catch { /* nothing held */ }
  }

  // Clicks with the real pointer (X events) in the middle of the element
  // that the page expression finds (a selector text is taken as one).
  async click(target) {
    const find = target.includes('document.') ? target : `document.querySelector(${JSON.stringify(target)})`;
    const at = await this.eval(`(() => { const el = ${find}; if (!el) return null; el.scrollIntoView({ block: 'nearest' });
      const r = el.getBoundingClientRect(); return [Math.round(window.screenX + r.left + r.width / 2), Math.round(window.screenY + r.top + r.height / 2)]; })()`);
    if (!at) throw new Error(`nothing to click: ${target}`);
    // mousemove --sync waits for a move, which never comes when the pointer is there already.
    const [x, y] = /X=(\d+)\s+Y=(\d+)/.exec(this.xdotool('getmouselocation', '--shell')).slice(1).map(Number);
    if (x !== at[0] || y !== at[1]) this.xdotool('mousemove', '--sync', String(at[0]), String(at[1]));
    this.xdotool('click', '1');
  }

  // A key pressed in the page as the keyboard would (trusted events).
  async press(key, { shift = false } = {}) {
    const k = KEYS[key] ?? { key, code: `Key${key.toUpperCase()}`, vk: key.toUpperCase().charCodeAt(0), text: key };
    const base = { key: k.key, code: k.code, windowsVirtualKeyCode: k.vk, nativeVirtualKeyCode: k.vk, modifiers: shift ? 8 : 0 };
    await this.cdp.send('Input.dispatchKeyEvent', { type: k.text ? 'keyDown' : 'rawKeyDown', ...base, text: k.text });
    await this.cdp.send('Input.dispatchKeyEvent', { type: 'keyUp', ...base });
  }

  eval(expr) { return this.cdp.eval(expr); }
  until(expr, opts) { return this.cdp.until(expr, opts); }

  async stop() {
    try { this.cdp?.close(); } catch { /* closed */ }
    if (this.proc && this.proc.exitCode === null) {
      this.proc.kill('SIGTERM');
      await Promise.race([this.exited, sleep(5000)]);
      if (this.proc.exitCode === null) this.proc.kill('SIGKILL');
    }
    if (this.tray) this.tray.kill('SIGTERM');
    if (this.xvfb) this.xvfb.process.kill('SIGTERM');
    if (!process.env.KELV_KEEP_TEMP) fs.rmSync(this.root, { recursive: true, force: true });
  }
}
