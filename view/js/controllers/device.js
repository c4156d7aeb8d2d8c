// The device connection: watching the device list, choosing among several
// mice (devicechoice.js), connecting (reading what the device can do and what
// it holds, and bringing it to the active mode), the mouse that went away and
// stays shown until it is back, data reports from the device, and the states
// of the services that serve real mice.
import {
  DESCRIPTION_PROP, DESCRIPTION_SIZE, SERVICES_HARDWARE_ID, SERVICE_PROP, SERVICES_SIZE, capsFromBytes, fitsClassicLayout,
  isSimulated, readServices, shapeOf,
} from '../caps.js';
import { parseByteList } from '../bytes.js';
import { pickMouse, simulatedSetting, visibleMice } from '../devicechoice.js';
import { parseDataReport, pickMice } from '../devicemap.js';
import { PROP_ACTIVE_PROFILE, PROP_ENABLED_PROFILES, PROP_PROFILE_NAMES, encodeNames, fitSettings } from '../devicesettings.js';
import { Mouse, DeviceError } from '../mouse.js';
import { modeSettings, neighbourMode, relatedSections, sectionKey, splitSectionKey } from '../profile.js';
import * as rq from '../requests.js';

const identity = (d) => `${d.HardwareID}\n${d.SN}\n${d.Version}`;
const settingsOnly = (s) => structuredClone({ performance: s.performance, buttons: s.buttons, lighting: s.lighting });

// Device event 3: the state of a service that serves real mice changed.
const SERVICE_EVENT = 3;
// A battery changed (its level or state): only the battery is read again.
const BATTERY_EVENT = 4;

export class DeviceController {
  constructor(app) {
    this.app = app;
    this.mouse = null;
    this.refreshing = false;
    this.refreshAgain = false;
    this.connecting = null;
    this.watchTimer = null;
    this.switchingTo = null; // the onboard profile the page is making active
    this.described = new Map(); // listed mouse (HardwareID, SN, Version) -> whether it is the simulated one
    // What the mouse that went away can do, while it stays shown (state.gone).
    this.goneCaps = null;
    this.goneDescription = null;
    this.enabledAsked = 0; // onboard enable writes asked so far
    this.writesQueued = 0; // settings written so far (see keepLive)
    // The active mode was changed while no mouse was connected: the next
    // connection writes the profile's settings as they are.
    this.changedOffline = false;
  }

  get ready() {
    return !!this.mouse && this.app.state.deviceState === 'ready';
  }

  // What the shown mouse can do: the connected one's, or the one that went away.
  get caps() {
    return this.mouse?.caps ?? (this.app.state.gone ? this.goneCaps : null);
  }

  listen() {
    const { bridge } = this.app;
    // The native side passes on only some device events (the first of every
    // five), so a plug or unplug can go unreported: look again shortly after
    // each event, and keep a slow watch of the device list.
    bridge.on('devicesChanged', (value) => {
      if ((Number(value) & 0xffff) === SERVICE_EVENT) this.readServices();
      if ((Number(value) & 0xffff) === BATTERY_EVENT) {
        this.readBattery();
        return;
      }
      this.refresh();
      setTimeout(() => this.refresh(), 700);
      setTimeout(() => this.refresh(), 2500);
    });
    bridge.on('onDeviceData', (hex) => this.onData(hex));
  }

  // The page came back from a rest with the mouse it had connected: talk to
  // it again without reading it (the list is looked at as usual). Without
  // its kept description the mouse is read again.
  resume(description) {
    const { state } = this.app;
    let caps = null;
    try {
      caps = description ? capsFromBytes(description) : null;
    } catch { /* a kept description that no longer reads: read the mouse again */ }
    if (state.gone && !state.device) {
      // The mouse that went away stays shown, with its own settings.
      if (caps) {
        this.goneCaps = caps;
        this.goneDescription = description;
      } else {
        state.gone = null;
        state.settingsKey = null;
      }
      return;
    }
    if (!state.device || state.deviceState !== 'ready') return;
    if (!caps) {
      state.deviceState = 'none';
      return;
    }
    this.mouse = new Mouse(this.app.bridge, state.device, caps);
    this.mouse.description = description;
  }

  // A failed device command: look at the list again (the device may be
  // gone) and say what happened.
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

  // The shown mouse's battery again (device event 4).
  async readBattery() {
    const { mouse } = this;
    if (!mouse || this.app.state.deviceState !== 'ready') return;
    const battery = await mouse.readBattery();
    if (this.mouse !== mouse) return;
    this.app.state.battery = battery;
    this.app.update();
  }

  // A setting of the device's own (the daemon's lighting sync, idle time, the
  // mouse's low-battery threshold): written at once, kept in no mode. A
  // refusal puts the value back and says why.
  async setOwnSetting(key, value) {
    const { mouse, app } = this;
    if (!mouse || app.state.deviceState !== 'ready') return;
    const own = app.state.ownSettings ?? {};
    const before = own[key];
    own[key] = value;
    app.state.ownSettings = own;
    app.update();
    try {
      await mouse.writeOwnSetting(key, value);
    } catch (e) {
      if (this.mouse !== mouse) return;
      own[key] = before;
      this.failure(e);
      app.update();
    }
  }

  // The states of the services that serve real mice (ratbagd, ...): none when
  // the device library names none (no such service on this system).
  async readServices() {
    const { state } = this.app;
    try {
      const reply = await this.app.bridge.request(rq.readProp({ HardwareID: SERVICES_HARDWARE_ID }, SERVICE_PROP, SERVICES_SIZE));
      state.services = readServices(parseByteList(reply));
    } catch {
      state.services = [];
    }
    // A service seen running that no longer does has stopped (ui/device.js).
    for (const s of state.services) {
      if (s.state === 'running' && !state.servicesSeenRunning.includes(s.id)) state.servicesSeenRunning.push(s.id);
    }
    this.app.update();
  }

  // A look asked for while one runs is taken once afterwards, quiet when every
  // ask for it was: a failed connection asks quietly from inside the look that
  // connected, and must not make that look connect again (for ever, with a
  // mouse whose settings cannot be read).
  async refresh({ quiet = false } = {}) {
    if (this.refreshing) {
      this.refreshAgain = true;
      this.refreshAgainQuiet = (this.refreshAgainQuiet ?? true) && quiet;
      return;
    }
    this.refreshing = true;
    try {
      await this.refreshOnce(quiet);
    } finally {
      this.refreshing = false;
      if (this.refreshAgain) {
        const again = { quiet: this.refreshAgainQuiet };
        this.refreshAgain = false;
        this.refreshAgainQuiet = undefined;
        await this.refresh(again);
      }
    }
  }

  // The mouse to show (see pickMouse).
  pick(mice, bootLoader) {
    const { state } = this.app;
    return pickMouse(mice, {
      picked: state.simulatedPicked, chosen: state.profile?.device ?? '', shown: state.device ?? state.gone,
      stays: !!state.gone || state.deviceState === 'ready', bootLoader: !!bootLoader,
    });
  }

  // The listed mice, each marked simulated or not from its description (read
  // once per mouse plugged in; a mouse whose description cannot be read now
  // counts as real and is read again next time).
  async describe(mice) {
    const out = [];
    for (const d of mice) {
      let simulated = this.described.get(identity(d));
      if (simulated === undefined) {
        try {
          const bytes = parseByteList(await this.app.bridge.request(rq.readProp(d, DESCRIPTION_PROP, DESCRIPTION_SIZE)));
          simulated = isSimulated(capsFromBytes(bytes));
          this.described.set(identity(d), simulated);
        } catch {
          simulated = false;
        }
      }
      out.push({ ...d, simulated });
    }
    // Mice no longer listed are forgotten (a daemon's mouse plugged in again is another one).
    for (const key of this.described.keys()) if (!mice.some((d) => identity(d) === key)) this.described.delete(key);
    return out;
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
    const { mice: listed, bootLoader } = pickMice(list);
    const mice = visibleMice(await this.describe(listed), simulatedSetting(state.conf, state.session));
    const listChanged = JSON.stringify(mice) !== JSON.stringify(state.devices);
    state.devices = mice;
    const mouse = this.pick(mice, bootLoader);
    const wasBoot = !!state.bootLoader;
    state.bootLoader = bootLoader;
    const cur = state.device;
    const same = mouse && cur && identity(mouse) === identity(cur);
    if (same && (state.deviceState === 'ready' || state.deviceState === 'loading' || (quiet && state.deviceState === 'error'))) {
      if (listChanged) this.app.update();
      return;
    }
    if (!mouse && !cur && wasBoot === !!bootLoader) {
      if (listChanged) this.app.update();
      return;
    }
    state.device = mouse;
    if (!mouse) {
      // The mouse shown goes on being shown, disconnected, with its own
      // settings; the page edits them until it is back or another is picked.
      if (cur && state.deviceState === 'ready') {
        state.gone = cur;
        this.goneCaps = this.mouse?.caps ?? null;
        this.goneDescription = this.mouse?.description ?? null;
      }
      if (!state.gone || !this.goneCaps) {
        state.gone = null;
        // Without any mouse the page edits the classic settings of the mode.
        state.settingsKey = null;
      }
      this.mouse = null;
      state.live = null;
      state.onboard = null;
      state.deviceState = bootLoader ? 'boot' : 'none';
      // A recording reads the keyboard, not the mouse: it goes on without the
      // mouse (the macro is stored when the mouse is back), but not into a
      // firmware update.
      if (state.recording && bootLoader) await this.app.macros.stopRecording();
      this.app.update();
      return;
    }
    await this.connect();
  }

  // The user chose another of the listed mice: it is shown from now on (the
  // choice is kept in the profile, so the next start shows it too).
  // The simulated mouse picked by hand is shown for this session only: the
  // next start opens on a real mouse again.
  async choose(hardwareId) {
    const { app } = this;
    const { state } = app;
    const d = state.devices.find((x) => x.HardwareID === hardwareId);
    if (!d || state.device?.HardwareID === hardwareId) return;
    if (d.simulated) state.simulatedPicked = hardwareId;
    else {
      state.simulatedPicked = null;
      state.profile.device = hardwareId;
      app.sync.markAll();
    }
    state.gone = null;
    if (state.recording) await app.macros.stopRecording();
    state.device = d;
    state.selectedButton = 0;
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
    const mouse = new Mouse(app.bridge, state.device);
    this.mouse = mouse;
    state.deviceState = 'loading';
    state.battery = null;
    state.ownSettings = {};
    app.update();
    let offline = false;
    try {
      const caps = await mouse.readCaps();
      const { settings: live, onboard } = await mouse.readAll();
      if (this.mouse !== mouse) return;
      state.live = live;
      state.onboard = onboard;
      state.gone = null;
      this.goneCaps = null;
      this.goneDescription = null;
      state.settingsKey = fitsClassicLayout(caps) ? null : sectionKey(state.device.HardwareID, shapeOf(caps));
      // The list took it for real when its description could not be read.
      if (isSimulated(caps) && !state.device.simulated) {
        this.described.set(identity(state.device), true);
        setTimeout(() => this.refresh({ quiet: true }), 0);
      }
      this.keepFirstSeen(live);
      const mode = app.mode;
      if (state.profileError) {
        // The profile could not be read: show what the mouse holds rather
        // than pushing factory values over the user's settings.
        this.adopt(mode, live);
        state.deviceState = 'ready';
        app.update();
        return;
      }
      const settings = this.settingsOf(mode);
      // The stage the user picked with the mouse's own buttons stays, unless
      // the user has changed the mode on the page since.
      offline = this.changedOffline;
      this.changedOffline = false;
      const p = settings.performance;
      if (!offline && live.performance.activeStage < p.stageCount && live.performance.activeStage !== p.activeStage) {
        p.activeStage = live.performance.activeStage;
        app.sync.markMode(mode.index);
      }
      await mouse.applyMode(settings, live);
      this.keepLive(settings);
      // Changes made while the mouse was being read are written too.
      while (this.changedOffline) {
        this.changedOffline = false;
        await mouse.applyMode(app.shown, state.live);
        this.keepLive(app.shown);
      }
      state.deviceState = 'ready';
      state.deviceError = null;
      state.battery = await mouse.readBattery();
      state.ownSettings = await mouse.readOwnSettings();
      app.update();
      await app.macros.syncToMouse();
    } catch (e) {
      this.changedOffline ||= offline; // still to be written at the next connection
      if (this.mouse !== mouse) return;
      state.deviceState = 'error';
      state.deviceError = e;
      this.failure(e, () => this.connect());
    }
    app.update();
  }

  // What a described mouse held when the page first saw it: what a screen's
  // reset and "Restore the default" bring back (never another mouse's
  // defaults). Kept in the profile once per hardware ID and shape.
  keepFirstSeen(live) {
    const { state } = this.app;
    const key = state.settingsKey;
    const p = state.profile;
    if (!key || !p || p.firstSeen?.[key]) return;
    p.firstSeen = { ...(p.firstSeen ?? {}), [key]: settingsOnly(live) };
    this.app.sync.markAll();
  }

  // The settings of mode for the shown device, fitted to what the device
  // takes. A mode that has none for this device yet starts from the ones it
  // keeps for another shape of the same device, fitted (those stay as they
  // are); else from what the device holds, so showing a mouse for the first
  // time changes nothing on it; a mouse that went away from what it held
  // when first seen. Null when there is nothing to start from.
  settingsOf(mode) {
    const { state } = this.app;
    const key = state.settingsKey;
    let s = modeSettings(mode, key);
    if (!s) {
      const [related] = relatedSections(mode, key);
      const from = related ?? state.live ?? state.profile?.firstSeen?.[key];
      if (!from) return null;
      s = settingsOnly(from);
      const changed = related && state.live ? fitSettings(this.caps, s, state.live) : false;
      mode.devices = mode.devices ?? {};
      mode.devices[key] = s;
      // A section written before shapes were kept that suits this shape as it
      // is was made for it: it becomes this shape's.
      if (related && !changed && state.live) {
        const legacy = splitSectionKey(key).id;
        if (mode.devices[legacy] === related) delete mode.devices[legacy];
      }
      this.app.sync.markMode(mode.index);
    } else if (state.live && fitSettings(this.caps, s, state.live)) {
      this.app.sync.markMode(mode.index);
    }
    return s;
  }

  // Takes what the device holds into the mode's settings for it.
  adopt(mode, live) {
    const { state } = this.app;
    const key = state.settingsKey;
    if (!key) Object.assign(mode, structuredClone(live));
    else {
      mode.devices = mode.devices ?? {};
      mode.devices[key] = structuredClone(live);
    }
    this.app.sync.markMode(mode.index);
  }

  // Remembers what the device now holds: the given settings. Called as soon
  // as their writes are queued, which makes a read of the device begun before
  // them stale (see readSettled).
  keepLive(s) {
    this.app.state.live = structuredClone({ performance: s.performance, buttons: s.buttons, lighting: s.lighting });
    this.writesQueued += 1;
  }

  // Everything the device holds once the writes queued so far are done: the
  // read waits its turn behind them. Writes queued while it reads (the user
  // went on changing values) come after it, so it would undo them on the
  // page and in the profile while the device takes them: it is read again.
  async readSettled(mouse) {
    for (;;) {
      const seen = this.writesQueued;
      const all = await mouse.enqueue(() => mouse.readAll());
      if (this.writesQueued === seen || this.mouse !== mouse) return all;
    }
  }

  // Brings the connected device to settings. What it holds is taken to be
  // settings as soon as the writes are queued, not once they are done: a mode
  // picked or a value changed before they return is written after them and
  // against them (else a quick switch back would find nothing to write, and
  // the device would keep the mode left).
  apply(settings) {
    const written = this.mouse.applyMode(settings, this.app.state.live);
    this.keepLive(settings);
    return written;
  }

  // Reads everything from the device again and shows it: after a failed
  // write, a resync of the device, or a change of its onboard profile. The
  // active mode takes what the device holds. Says why when a message is
  // given; quiet: a failure to read only makes the device list looked at again.
  async reread({ message = null, quiet = false } = {}) {
    const { app } = this;
    const { state } = app;
    const { mouse } = this;
    if (!mouse || state.deviceState !== 'ready') return false;
    try {
      const { settings: live, onboard } = await this.readSettled(mouse);
      if (this.mouse !== mouse) return false;
      state.live = live;
      state.onboard = onboard;
      this.adopt(app.mode, live);
      // What the screen said about a DPI typed before (to what it was set)
      // no longer describes the values shown: another onboard profile's, or
      // what the device holds after a write it refused.
      delete state.view.dpiNote;
      if (message) app.info(message);
      app.update();
      return true;
    } catch (e) {
      if (quiet) this.refresh({ quiet: true });
      else this.failure(e, () => this.connect());
      return false;
    }
  }

  onData(hex) {
    const { app } = this;
    const r = parseDataReport(String(hex));
    if (!r || app.state.deviceState !== 'ready' || r.tag !== (this.caps?.tag ?? 0)) return;
    if (r.kind === 'stage') {
      const p = app.shown.performance;
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
    } else if (r.kind === 'resync') {
      this.reread({ message: 'device.resynced' });
    } else if (r.kind === 'profile') {
      // The page's own switch (setOnboardProfile) reads the device itself.
      if (r.profile === this.switchingTo) this.switchingTo = null;
      else this.reread({ message: 'device.profileChanged' });
    }
  }

  // Makes another onboard profile of the device active; every setting then
  // is the new profile's, read from the device.
  async setOnboardProfile(index) {
    const { app } = this;
    if (!this.ready || app.state.onboard?.active === index) return;
    this.switchingTo = index;
    try {
      await this.mouse.writeProp(PROP_ACTIVE_PROFILE, [index]);
    } catch (e) {
      this.switchingTo = null;
      this.failure(e);
    }
    await this.reread();
  }

  // Renames onboard profile i, where the device lets it (caps.profiles.rename):
  // the records up to i are written, the others as they are. An empty name is
  // not taken (the device would keep none).
  async setOnboardName(i, name) {
    const ob = this.app.state.onboard;
    const trimmed = name.trim();
    if (!this.ready || !ob || !this.mouse.caps.profiles.rename.includes(i) || !trimmed || ob.names[i] === trimmed) {
      this.app.update();
      return;
    }
    const names = ob.names.map((n, k) => (k === i ? trimmed : n)).slice(0, i + 1);
    try {
      await this.mouse.writeProp(PROP_PROFILE_NAMES, encodeNames(names));
    } catch (e) {
      this.failure(e);
    }
    await this.reread({ quiet: true });
  }

  // Asks the device library to start a service (ratbagd) it stopped starting
  // after it failed again and again; its state follows as a device event.
  async startService(id) {
    try {
      await this.app.bridge.request(rq.writeProp({ HardwareID: id }, SERVICE_PROP, [1]));
    } catch {
      // Its state says what became of it.
    }
    await this.readServices();
  }

  // Enables or disables onboard profile i (the active one stays enabled).
  // The page takes the new list at once: a second switch clicked before the
  // first write returns starts from it, so neither click is lost. Only the
  // last write of a quick series reads the device again (an earlier read
  // could come back after a later write and show a list already gone).
  async setOnboardEnabled(i, on) {
    const ob = this.app.state.onboard;
    if (!this.ready || !ob || i === ob.active || ob.enabled[i] === on) return;
    ob.enabled = ob.enabled.map((e, k) => (k === i ? on : e));
    const bits = ob.enabled.reduce((b, e, k) => (e ? b | (1 << k) : b), 0);
    const asked = ++this.enabledAsked;
    this.app.update();
    try {
      await this.mouse.writeProp(PROP_ENABLED_PROFILES, [bits & 0xff, bits >> 8]);
    } catch (e) {
      this.failure(e);
    }
    if (asked === this.enabledAsked) await this.reread({ quiet: true });
  }
}
