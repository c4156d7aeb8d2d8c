// libratbag's real daemon ratbagd.devel on a private system bus of the test's
// own (dbus-daemon), serving the test devices it is given (LoadTestDevice), for
// the page's end-to-end suite. The same set-up as tests/testsupport/ratbag_daemon
// for the Qt suites; values are read back from the daemon with busctl, a client
// of its own, never from kelv.
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { sleep } from './harness.mjs';

export const BUS_NAME = 'org.freedesktop.ratbag_devel1';
// The D-Bus API of the daemon the suite runs against: 1 for libratbag 0.17, 2 for 0.18.
export const API = Number(process.env.KELV_RATBAGD_API ?? 1) === 2 ? 2 : 1;
export const ROOT = '/org/freedesktop/ratbag_devel1';
const iface = (suffix) => `${BUS_NAME}.${suffix}`;

const BUS_CONFIG = (socket) => `<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=${socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/>
  </policy>
</busconfig>
`;

function onPath(tool) {
  return (process.env.PATH ?? '').split(':').some((d) => d && fs.existsSync(path.join(d, tool)));
}

// Empty when the real daemon can run here; otherwise why it cannot (the suite skips).
export function unavailable() {
  const file = process.env.KELV_RATBAGD_DEVEL ?? '';
  if (!file) return process.env.KELV_RATBAGD_SKIP || 'ratbagd.devel was not built';
  try { fs.accessSync(file, fs.constants.X_OK); } catch { return `ratbagd.devel not built at ${file}`; }
  for (const tool of ['dbus-daemon', 'busctl']) if (!onPath(tool)) return `${tool} is not installed`;
  // ratbagd.devel installs its bus policy there before it starts, or refuses to start.
  try { fs.accessSync('/etc/dbus-1/system.d', fs.constants.W_OK); } catch { return 'ratbagd.devel must write /etc/dbus-1/system.d (run as root)'; }
  return '';
}

export class RatbagDaemon {
  // Starts the private bus (not the daemon).
  static async start() {
    const d = new RatbagDaemon();
    d.root = fs.mkdtempSync(path.join(os.tmpdir(), 'kelv-ratbagd-'));
    const config = path.join(d.root, 'bus.conf');
    fs.writeFileSync(config, BUS_CONFIG(path.join(d.root, 'bus')));
    d.bus = spawn('dbus-daemon', [`--config-file=${config}`, '--nofork', '--print-address=1'], { stdio: ['ignore', 'pipe', 'ignore'] });
    d.address = await new Promise((resolve, reject) => {
      let out = '';
      const timer = setTimeout(() => reject(new Error('dbus-daemon printed no address')), 5000);
      d.bus.stdout.on('data', (c) => {
        out += c;
        if (out.includes('\n')) { clearTimeout(timer); resolve(out.trim()); }
      });
      d.bus.on('exit', (code) => reject(new Error(`dbus-daemon ended with ${code}`)));
    });
    return d;
  }

  // What kelv needs in its environment to find the daemon on this bus.
  get env() {
    return { DBUS_SYSTEM_BUS_ADDRESS: this.address, KELV_RATBAG_BUS_NAME: BUS_NAME };
  }

  get log() {
    try { return fs.readFileSync(path.join(this.root, 'ratbagd.log'), 'utf8'); } catch { return ''; }
  }

  // Starts the daemon and waits until it serves its default test device.
  async startDaemon() {
    const log = fs.openSync(path.join(this.root, 'ratbagd.log'), 'a');
    this.daemon = spawn(process.env.KELV_RATBAGD_DEVEL, ['--verbose'], {
      env: { ...process.env, DBUS_SYSTEM_BUS_ADDRESS: this.address, RATBAG_TEST: '1', LIBRATBAG_DATA_DIR: process.env.KELV_RATBAGD_DATA ?? '' },
      stdio: ['ignore', log, log],
    });
    fs.closeSync(log);
    this.daemonExited = new Promise((r) => this.daemon.on('exit', r));
    for (let i = 0; i < 500; i++) {
      if (this.daemon.exitCode !== null) break;
      if (this.devices().length) return;
      await sleep(20);
    }
    throw new Error(`ratbagd.devel did not come up:\n${this.log.slice(-2000)}`);
  }

  // Kills the daemon (SIGKILL) as a crash would; its mice go with it.
  async kill() {
    if (!this.daemon || this.daemon.exitCode !== null) return;
    this.daemon.kill('SIGKILL');
    await this.daemonExited;
  }

  busctl(...args) {
    return execFileSync('busctl', [`--address=${this.address}`, '--json=short', ...args], { encoding: 'utf8', timeout: 10000, stdio: ['ignore', 'pipe', 'pipe'] });
  }

  devices() {
    try { return this.paths(ROOT, 'Manager', 'Devices'); } catch { return []; }
  }

  // LoadTestDevice: the new test device replaces the one before. Returns its
  // object path once the daemon lists it.
  // The description is in 0.17's format: for 0.18 an LED's "type" goes (0.18 refuses it,
  // 0.17 requires it).
  async load(description) {
    const before = this.devices();
    const json = JSON.stringify(description, (key, value) => (key === 'type' && API >= 2 ? undefined : value));
    this.busctl('call', BUS_NAME, ROOT, iface('Manager'), 'LoadTestDevice', 's', json);
    for (let i = 0; i < 250; i++) {
      const now = this.devices().find((p) => !before.includes(p));
      if (now) return now;
      await sleep(20);
    }
    throw new Error('the daemon did not list the new test device');
  }

  // A property as the daemon holds it (busctl's "data").
  prop(objectPath, suffix, name) {
    return JSON.parse(this.busctl('get-property', BUS_NAME, objectPath, iface(suffix), name)).data;
  }

  paths(objectPath, suffix, name) {
    return this.prop(objectPath, suffix, name);
  }

  call(objectPath, suffix, method, ...args) {
    return this.busctl('call', BUS_NAME, objectPath, iface(suffix), method, ...args);
  }

  // The objects of the active profile of a device: { profile, resolutions, buttons, leds }.
  active(device) {
    const profiles = this.paths(device, 'Device', 'Profiles');
    const profile = profiles.find((p) => this.prop(p, 'Profile', 'IsActive')) ?? profiles[0];
    return {
      profile,
      profiles,
      resolutions: this.paths(profile, 'Profile', 'Resolutions'),
      buttons: this.paths(profile, 'Profile', 'Buttons'),
      leds: this.paths(profile, 'Profile', 'Leds'),
    };
  }

  async stop() {
    await this.kill();
    this.bus?.kill('SIGKILL');
    if (!process.env.KELV_KEEP_TEMP) fs.rmSync(this.root, { recursive: true, force: true });
  }
}
