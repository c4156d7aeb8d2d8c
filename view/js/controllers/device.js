// The mouse connection: watching the device list, connecting (reading the
// mouse and bringing it to the active mode), data reports from the mouse.
import { parseDataReport, pickMouse } from '../devicemap.js';
import { Mouse, DeviceError } from '../mouse.js';
import { neighbourMode } from '../profile.js';
import * as rq from '../requests.js';

export class DeviceController {
  constructor(app) {
    this.app = app;
    this.mouse = null;
    this.refreshing = false;
    this.refreshAgain = false;
    this.connecting = null;
    this.watchTimer = null;
    // The active mode was changed while no mouse was connected: the next
    // connection writes the profile's settings as they are.
    this.changedOffline = false;
  }

  get ready() {
    return !!this.mouse && this.app.state.deviceState === 'ready';
  }

  listen() {
    const { bridge } = this.app;
    // The native side passes on only some device events (the first of every
    // five), so a plug or unplug can go unreported: look again shortly after
    // each event, and keep a slow watch of the device list.
    bridge.on('devicesChanged', () => {
      this.refresh();
      setTimeout(() => this.refresh(), 700);
      setTimeout(() => this.refresh(), 2500);
    });
    bridge.on('onDeviceData', (hex) => this.onData(hex));
  }

  // A failed device command: look at the list again (the mouse may be gone)
  // and say what happened.
  failure(e, retry) {
    this.refresh({ quiet: true });
    const key = e instanceof DeviceError ? e.key : 'error.write';
    this.app.error(key, e.detail ?? e.message, retry ? [{ label: 'action.retry', run: retry }] : []);
  }

  watch() {
    clearTimeout(this.watchTimer);
    const ms = this.app.state.deviceState === 'ready' ? 4000 : 1500;
    this.watchTimer = setTimeout(async () => {
      await this.refresh({ quiet: true });
      this.watch();
    }, ms);
  }

  async refresh({ quiet = false } = {}) {
    if (this.refreshing) {
      this.refreshAgain = true;
      return;
    }
    this.refreshing = true;
    try {
      await this.refreshOnce(quiet);
    } finally {
      this.refreshing = false;
      if (this.refreshAgain) {
        this.refreshAgain = false;
        await this.refresh({ quiet });
      }
    }
  }

  async refreshOnce(quiet) {
    const { state } = this.app;
    let list;
    try {
      list = JSON.parse(await this.app.bridge.request(rq.deviceList()));
    } catch (e) {
      if (!quiet) this.app.error('error.deviceList', e.message);
      return;
    }
    const { mouse, bootLoader } = pickMouse(list);
    const wasBoot = !!state.bootLoader;
    state.bootLoader = bootLoader;
    const cur = state.device;
    const same = mouse && cur && mouse.HardwareID === cur.HardwareID && mouse.SN === cur.SN && mouse.Version === cur.Version;
    if (same && (state.deviceState === 'ready' || state.deviceState === 'loading' || (quiet && state.deviceState === 'error'))) return;
    if (!mouse && !cur && wasBoot === !!bootLoader) return;
    state.device = mouse;
    if (!mouse) {
      this.mouse = null;
      state.live = null;
      state.deviceState = bootLoader ? 'boot' : 'none';
      if (state.recording) await this.app.macros.stopRecording();
      this.app.update();
      return;
    }
    await this.connect();
  }

  // Connections run one after the other (a reset and a plug event may ask at
  // the same time); each one works on the device listed at that moment.
  connect() {
    const run = () => this.connectOnce();
    this.connecting = (this.connecting ?? Promise.resolve()).then(run, run);
    return this.connecting;
  }

  async connectOnce() {
    const { app } = this;
    const { state } = app;
    if (!state.device) return;
    this.mouse = new Mouse(app.bridge, state.device);
    state.deviceState = 'loading';
    app.update();
    let offline = false;
    try {
      const live = await this.mouse.readSettings();
      state.live = live;
      const mode = app.mode;
      if (state.profileError) {
        // The profile could not be read: show what the mouse holds rather
        // than pushing factory values over the user's settings.
        Object.assign(mode, structuredClone(live));
        state.deviceState = 'ready';
        app.update();
        return;
      }
      // The stage the user picked with the mouse's own buttons stays, unless
      // the user has changed the mode on the page since.
      offline = this.changedOffline;
      this.changedOffline = false;
      if (!offline && live.performance.activeStage < mode.performance.stageCount && live.performance.activeStage !== mode.performance.activeStage) {
        mode.performance.activeStage = live.performance.activeStage;
        app.sync.markMode(mode.index);
      }
      await this.mouse.applyMode(mode, live);
      this.keepLive(mode);
      // Changes made while the mouse was being read are written too.
      while (this.changedOffline) {
        this.changedOffline = false;
        await this.mouse.applyMode(app.mode, state.live);
        this.keepLive(app.mode);
      }
      state.deviceState = 'ready';
      state.deviceError = null;
      app.update();
      await app.macros.syncToMouse();
    } catch (e) {
      this.changedOffline ||= offline; // still to be written at the next connection
      state.deviceState = 'error';
      state.deviceError = e;
      this.failure(e, () => this.connect());
    }
    app.update();
  }

  // Remembers what the mouse now holds: the given mode's settings.
  keepLive(mode) {
    this.app.state.live = structuredClone({ performance: mode.performance, buttons: mode.buttons, lighting: mode.lighting });
  }

  onData(hex) {
    const { app } = this;
    const r = parseDataReport(String(hex));
    if (!r || app.state.deviceState !== 'ready') return;
    if (r.kind === 'stage') {
      const p = app.mode.performance;
      if (r.stage < p.stageCount && r.stage !== p.activeStage) {
        p.activeStage = r.stage;
        app.state.live.performance.activeStage = r.stage;
        app.sync.markMode(app.mode.index);
        app.update();
      }
    } else if (r.kind === 'mode') {
      app.modes.switchTo(neighbourMode(app.state.profile, r.direction).index, { reason: 'button' });
    } else if (r.kind === 'lighting') {
      // The lighting button of the mouse: the screen shows the mode's effect again.
      app.update();
    }
  }
}
