// OpenRazer's real daemon (Debian's openrazer-daemon, unpacked by scripts/openrazer-daemon.sh)
// on a private session bus of the test's own, serving fake mice: device folders written here
// in a sysfs-like tree, with the files the daemon's hardware classes read and write. The same
// set-up as tests/testsupport/razer_daemon for the Qt suites; values are read back from the
// fake devices' files, never from kelv.
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { sleep } from './harness.mjs';

const BUS_CONFIG = (socket) => `<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=${socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/>
  </policy>
</busconfig>
`;

const modules = () => path.join(process.env.KELV_OPENRAZER_DIR ?? '', 'usr/lib/python3/dist-packages');

// Empty when the real daemon can run here; otherwise why it cannot (the suite skips).
export function unavailable() {
  if (process.env.KELV_OPENRAZER_SKIP) return process.env.KELV_OPENRAZER_SKIP;
  try { return fs.readFileSync(path.join(process.env.KELV_OPENRAZER_DIR ?? '', '.unavailable'), 'utf8').trim(); } catch { /* none */ }
  if (!fs.existsSync(path.join(modules(), 'openrazer_daemon/daemon.py'))) return 'openrazer-daemon is not unpacked (build target openrazer_daemon)';
  try {
    execFileSync('/usr/bin/python3', ['-c', 'import dbus, gi, pyudev, setproctitle, daemonize, notify2'], { stdio: 'ignore' });
  } catch { return "the daemon's Python modules are missing (scripts/setup.sh test)"; }
  return '';
}

// The wireless mouse: a battery at 128/255 (50 %), three stages, the second active.
const VIPER = {
  pid: 0x007b, name: 'Razer Viper Ultimate (Wireless)',
  files: {
    dpi: '800:800', dpi_stages: Buffer.from([2, 0x01, 0x90, 0x01, 0x90, 0x03, 0x20, 0x03, 0x20, 0x06, 0x40, 0x06, 0x40]),
    poll_rate: '500', charge_level: '128', charge_status: '0', device_idle_time: '300', charge_low_threshold: '38',
  },
};

export class RazerDaemon {
  // Starts the private bus and lays out the tree (not the daemon).
  static async start() {
    const d = new RazerDaemon();
    d.root = fs.mkdtempSync(path.join(os.tmpdir(), 'kelv-razer-'));
    d.sys = path.join(d.root, 'sys');
    for (const dir of ['bus/hid/devices', 'bus/usb/devices', 'module/razermouse']) fs.mkdirSync(path.join(d.sys, dir), { recursive: true });
    fs.mkdirSync(path.join(d.root, 'run'));
    for (const f of ['razer.conf', 'persistence.conf']) fs.writeFileSync(path.join(d.root, f), '');
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
    });
    return d;
  }

  // What kelv needs in its environment to find the daemon and the tree.
  get env() {
    return { DBUS_SESSION_BUS_ADDRESS: this.address, KELV_SYSFS_ROOT: this.sys, KELV_BATTERY_POLL_SECONDS: '1' };
  }

  // A wireless mouse on a USB port; returns its folder.
  addViper(serial, n = 1, port = '1-3') {
    const id = `0003:1532:${VIPER.pid.toString(16).toUpperCase().padStart(4, '0')}.${String(n).padStart(4, '0')}`;
    const usb = `devices/pci0000:00/0000:00:14.0/usb1/${port}`;
    const rel = `${usb}/${port}:1.0/${id}`;
    const folder = path.join(this.sys, rel);
    fs.mkdirSync(folder, { recursive: true });
    const files = { device_type: VIPER.name, device_serial: serial, firmware_version: 'v1.0', version: '3.5.1', ...VIPER.files };
    for (const [name, content] of Object.entries(files)) fs.writeFileSync(path.join(folder, name), content);
    fs.symlinkSync(`../../../${rel}`, path.join(this.sys, 'bus/hid/devices', id));
    fs.writeFileSync(path.join(this.sys, usb, 'idVendor'), '1532');
    fs.symlinkSync(`../../../${usb}`, path.join(this.sys, 'bus/usb/devices', port));
    return folder;
  }

  file(folder, name, raw = false) {
    const b = fs.readFileSync(path.join(folder, name));
    return raw ? b : b.toString('utf8').trim();
  }

  setFile(folder, name, content) {
    fs.writeFileSync(path.join(folder, name), content);
  }

  get log() {
    try { return fs.readFileSync(path.join(this.root, 'daemon.log'), 'utf8'); } catch { return ''; }
  }

  busctl(...args) {
    return execFileSync('busctl', [`--address=${this.address}`, '--json=short', ...args], { encoding: 'utf8', timeout: 10000, stdio: ['ignore', 'pipe', 'pipe'] });
  }

  serials() {
    try { return JSON.parse(this.busctl('call', 'org.razer', '/org/razer', 'razer.devices', 'getDevices')).data[0]; } catch { return null; }
  }

  // Starts the daemon and waits until it lists `mice` devices.
  async startDaemon(mice) {
    const log = fs.openSync(path.join(this.root, 'daemon.log'), 'a');
    this.daemon = spawn('/usr/bin/python3', [new URL('../testsupport/razer_daemon_run.py', import.meta.url).pathname,
      '--test-dir', path.join(this.sys, 'bus/hid/devices'), '--run-dir', path.join(this.root, 'run'),
      '--config', path.join(this.root, 'razer.conf'), '--persistence', path.join(this.root, 'persistence.conf')], {
      env: { ...process.env, DBUS_SESSION_BUS_ADDRESS: this.address, PYTHONPATH: modules(), PYTHONDONTWRITEBYTECODE: '1' },
      stdio: ['ignore', log, log],
    });
    fs.closeSync(log);
    this.daemonExited = new Promise((r) => this.daemon.on('exit', r));
    for (let i = 0; i < 400; i++) {
      if (this.daemon.exitCode !== null) break;
      if (this.serials()?.length === mice) return;
      await sleep(50);
    }
    throw new Error(`openrazer-daemon did not come up:\n${this.log.slice(-2000)}`);
  }

  async stop() {
    if (this.daemon && this.daemon.exitCode === null) {
      this.daemon.kill('SIGKILL');
      await this.daemonExited;
    }
    this.bus?.kill('SIGKILL');
    if (!process.env.KELV_KEEP_TEMP) fs.rmSync(this.root, { recursive: true, force: true });
  }
}
