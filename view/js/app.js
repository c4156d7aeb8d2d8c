// The page's controller: state, the device, the profile, events, and the
// actions the screens call. Screens (js/ui/*.js) only render state and call
// these actions.
import { Bridge } from './bridge.js';
import { PROP, encodeButtons, encodeLighting, encodeStageColours, encodeStageDpi, parseDataReport, pickMouse } from './devicemap.js';
import { setLanguage, t, LANGUAGES, normaliseLanguage } from './i18n.js';
import { encodeMacro, stepFromItem, appendStep, tidyRecording, validateMacro } from './macro.js';
import { Mouse, DeviceError } from './mouse.js';
import {
  FACTORY_PATH, PROFILE_PATH, activeMode, findMode, modeXpath, neighbourMode, newMode, nextModeIndex,
  profileFromXml, nameFromPath, macroUsers,
} from './profile.js';
import { ProfileSync } from './profilesync.js';
import * as rq from './requests.js';
import { factoryButtons } from './devicemap.js';
import { mountShell } from './ui/shell.js';



class App {
  constructor() {
    this.bridge = new Bridge(window);
    this.state = {
      screen: 'performance',
      conf: {},
      device: null, // the getDevicesList entry of the mouse
      bootLoader: null,
      deviceState: 'none', // none | loading | ready | error | boot
      deviceError: null,
      live: null, // what the mouse holds now (performance, buttons, lighting)
      profile: null,
      profileError: null,
      recording: null, // { slot, steps } while the recorder runs
      selectedButton: 0,
      selectedSlot: null,
      macroStatus: {}, // slot -> 'storing' | 'stored' | { error }
      systemStatus: {},
      hotKeyStatus: null,
      session: {}, // getSessionInfo: session type, recorder scope, autostart
      saveState: 'saved',
      maximised: false,
      boundRunning: [],
      homeMode: null,
    };
    this.mouse = null;
    this.alerts = [];
    this.sync = new ProfileSync(this.bridge, () => this.state.profile, {
      onState: (s, err) => {
        this.state.saveState = s;
        if (s === 'failed') this.error('error.profileStore', err?.message, [{ label: t('action.retry'), run: () => this.sync.flush().catch(() => {}) }]);
        this.ui?.updateSaveState();
      },
    });
    this.macroTimers = {};
  }

  // ---- start -----------------------------------------------------------------
  async start() {
    this.ui = mountShell(this);
    window.kelvApp = this; // for the end-to-end test and the screenshot script
    if (!this.bridge.available) {
      this.error('error.noBridge');
      this.render();
      return;
    }
    // The native side passes on only some device events (the first of every
    // five), so a plug or unplug can go unreported: look again shortly after
    // each event, and keep a slow watch of the device list.
    this.bridge.on('devicesChanged', () => {
      this.refreshDevices();
      setTimeout(() => this.refreshDevices(), 700);
      setTimeout(() => this.refreshDevices(), 2500);
    });
    this.bridge.on('onDeviceData', (hex) => this.onDeviceData(hex));
    this.bridge.on('macroItem', (...item) => this.onMacroItem(item));
    this.bridge.on('onProcessChanged', (index, running) => this.onProcessChanged(String(index), !!running));
    await this.loadConf();
    await this.loadSession();
    await this.loadProfile();
    await this.refreshDevices();
    this.watchDevices();
    document.addEventListener('visibilitychange', () => {
      if (document.visibilityState === 'hidden') this.saveNow();
    });
    this.ready = true;
    document.documentElement.dataset.readyAt = String(Date.now());
    document.documentElement.dataset.ready = '1';
  }

  render() {
    this.ui?.render();
  }

  // ---- messages --------------------------------------------------------------
  error(key, detail = '', actions = []) {
    this.pushAlert({ kind: 'error', text: t(key), detail, actions, help: t(`${key}.help`, {}, '') });
  }

  info(text) {
    this.pushAlert({ kind: 'info', text });
  }

  pushAlert(a) {
    a.id = Math.random().toString(36).slice(2);
    // The same message twice in a row is shown once.
    if (this.alerts.some((x) => x.text === a.text && x.detail === a.detail)) return;
    this.alerts.push(a);
    if (this.alerts.length > 4) this.alerts.shift();
    if (a.kind === 'info') setTimeout(() => this.dismiss(a.id), 3500);
    this.ui?.renderAlerts();
  }

  dismiss(id) {
    this.alerts = this.alerts.filter((a) => a.id !== id);
    this.ui?.renderAlerts();
  }

  deviceFailure(e, retry) {
    this.refreshDevices({ quiet: true });
    const key = e instanceof DeviceError ? e.key : 'error.write';
    this.error(key, e.detail ?? e.message, retry ? [{ label: t('action.retry'), run: retry }] : []);
  }

  // ---- settings (conf.xml) ---------------------------------------------------
  async loadConf() {
    try {
      const reply = await this.bridge.call('getConf');
      const arr = JSON.parse(reply);
      this.state.conf = Array.isArray(arr) && arr[0] && typeof arr[0] === 'object' ? arr[0] : {};
    } catch (e) {
      this.state.conf = {};
      this.error('error.conf', e.message);
    }
    setLanguage(normaliseLanguage(this.state.conf.language));
    this.render();
  }

  async setConf(key, value) {
    try {
      const reply = await this.bridge.call('setConf', { confKey: key, confValue: value });
      if (key === 'showConf' || key === 'testTool') {
        const ok = rq.hotKeyAccepted(reply);
        this.state.conf[key] = `${value},${ok ? '\u0001' : '\u0000'}`;
        return ok;
      }
      if (reply !== 'modify conf sucess') throw new Error(reply);
      this.state.conf[key] = value;
      return true;
    } catch (e) {
      this.error('error.setConf', e.message);
      return false;
    } finally {
      this.render();
    }
  }

  // What the desktop allows (a Wayland session records only this window and
  // takes hot keys from the desktop portal) and whether the program starts
  // with the desktop. An older program without the command keeps the defaults.
  async loadSession() {
    try {
      const info = JSON.parse(await this.bridge.call('getSessionInfo'));
      this.state.session = info && typeof info === 'object' ? info : {};
    } catch {
      this.state.session = {};
    }
    this.render();
  }

  async setAutostart(enabled) {
    try {
      const reply = await this.bridge.call('setAutostart', { enabled: enabled ? 1 : 0 });
      if (reply !== '1' && reply !== '0') throw new Error(reply);
      this.state.session.autostart = reply === '1';
    } catch (e) {
      this.error('error.autostart', e.message);
    } finally {
      this.render();
    }
  }

  async setLanguage(lang) {
    if (!LANGUAGES.some((l) => l.code === lang)) return;
    setLanguage(lang);
    this.render();
    await this.setConf('language', lang);
  }

  // ---- profile ---------------------------------------------------------------
  async loadProfile() {
    try {
      const text = await this.bridge.request(rq.profile.query(PROFILE_PATH, '/conf'));
      if (!text.trim()) throw new Error('empty');
      const model = profileFromXml(text);
      this.state.profile = model;
      this.state.profileError = null;
      if (model.repaired) this.sync.markAll();
    } catch (e) {
      // Keep working on factory settings in memory, but never overwrite the
      // file the user has: only "reset" replaces it.
      this.state.profileError = e.message;
      if (!this.state.profile) this.state.profile = profileFromXml('<conf/>');
      this.error('error.profileRead', e.message, [{ label: t('modes.reset'), run: () => this.ui.confirmReset() }]);
    }
    this.state.homeMode = this.state.profile.current;
    this.render();
  }

  get mode() {
    return activeMode(this.state.profile);
  }

  async saveNow() {
    if (this.state.profileError) return;
    try {
      await this.sync.save();
    } catch (e) {
      this.state.saveState = 'failed';
      this.ui?.updateSaveState();
    }
    this.ui?.updateSaveState();
  }

  // ---- device ----------------------------------------------------------------
  watchDevices() {
    clearTimeout(this.watchTimer);
    const ms = this.state.deviceState === 'ready' ? 4000 : 1500;
    this.watchTimer = setTimeout(async () => {
      await this.refreshDevices({ quiet: true });
      this.watchDevices();
    }, ms);
  }

  async refreshDevices({ quiet = false } = {}) {
    if (this.refreshing) {
      this.refreshAgain = true;
      return;
    }
    this.refreshing = true;
    try {
      await this.refreshDevicesOnce(quiet);
    } finally {
      this.refreshing = false;
      if (this.refreshAgain) {
        this.refreshAgain = false;
        await this.refreshDevices({ quiet });
      }
    }
  }

  async refreshDevicesOnce(quiet) {
    let list;
    try {
      list = JSON.parse(await this.bridge.call('getDevicesList'));
    } catch (e) {
      if (!quiet) this.error('error.deviceList', e.message);
      return;
    }
    const { mouse, bootLoader } = pickMouse(list);
    const wasBoot = !!this.state.bootLoader;
    this.state.bootLoader = bootLoader;
    const cur = this.state.device;
    const same = mouse && cur && mouse.HardwareID === cur.HardwareID && mouse.SN === cur.SN && mouse.Version === cur.Version;
    if (same && (this.state.deviceState === 'ready' || this.state.deviceState === 'loading' || (quiet && this.state.deviceState === 'error'))) return;
    if (!mouse && !cur && wasBoot === !!bootLoader) return;
    this.state.device = mouse;
    if (!mouse) {
      this.mouse = null;
      this.state.live = null;
      this.state.deviceState = bootLoader ? 'boot' : 'none';
      if (this.state.recording) await this.stopRecording();
      this.render();
      return;
    }
    await this.connectMouse();
  }

  // Connections run one after the other (a reset and a plug event may ask at
  // the same time); each one works on the device listed at that moment.
  connectMouse() {
    const run = () => this.connectOnce();
    this.connecting = (this.connecting ?? Promise.resolve()).then(run, run);
    return this.connecting;
  }

  async connectOnce() {
    if (!this.state.device) return;
    this.mouse = new Mouse(this.bridge, this.state.device);
    this.state.deviceState = 'loading';
    this.render();
    try {
      const live = await this.mouse.readSettings();
      this.state.live = live;
      const mode = this.mode;
      if (this.state.profileError) {
        // The profile could not be read: show what the mouse holds rather
        // than pushing factory values over the user's settings.
        Object.assign(mode, structuredClone(live));
        this.state.deviceState = 'ready';
        this.render();
        return;
      }
      // The stage the user picked with the mouse's own buttons stays.
      if (live.performance.activeStage < mode.performance.stageCount && live.performance.activeStage !== mode.performance.activeStage) {
        mode.performance.activeStage = live.performance.activeStage;
        this.sync.markMode(mode.index);
      }
      await this.mouse.applyMode(mode, live);
      this.state.live = structuredClone({ performance: mode.performance, buttons: mode.buttons, lighting: mode.lighting });
      this.state.deviceState = 'ready';
      this.state.deviceError = null;
      this.render();
      await this.syncMacrosToMouse();
    } catch (e) {
      this.state.deviceState = 'error';
      this.state.deviceError = e;
      this.deviceFailure(e, () => this.connectMouse());
    }
    this.render();
  }

  // Macros of the profile that the mouse does not hold as they are get written.
  async syncMacrosToMouse() {
    for (const m of this.state.profile.macros) {
      if (validateMacro(m)) continue;
      try {
        const inMouse = await this.mouse.readMacro(m.slot);
        const want = encodeMacro(m);
        const same = inMouse && inMouse.name === (m.name ?? '') && JSON.stringify(encodeMacro({ ...inMouse })) === JSON.stringify(want);
        if (!same) await this.mouse.storeMacro(m.slot, want);
        this.state.macroStatus[m.slot] = 'stored';
      } catch (e) {
        this.state.macroStatus[m.slot] = { error: e };
      }
    }
    this.render();
  }

  onDeviceData(hex) {
    const r = parseDataReport(String(hex));
    if (!r || this.state.deviceState !== 'ready') return;
    if (r.kind === 'stage') {
      const p = this.mode.performance;
      if (r.stage < p.stageCount && r.stage !== p.activeStage) {
        p.activeStage = r.stage;
        this.state.live.performance.activeStage = r.stage;
        this.sync.markMode(this.mode.index);
        this.render();
      }
    } else if (r.kind === 'mode') {
      this.switchMode(neighbourMode(this.state.profile, r.direction).index, { reason: 'button' });
    } else if (r.kind === 'lighting') {
      this.ui?.flashLighting(r.effect);
    }
  }

  // Changes the active mode through fn(mode), writes the given properties and
  // marks the profile. A refused write puts the mode back as it was.
  async changeMode(fn, props) {
    const mode = this.mode;
    const before = structuredClone(mode);
    fn(mode);
    this.sync.markMode(mode.index);
    this.render();
    if (!this.mouse || this.state.deviceState !== 'ready') return true;
    try {
      for (const id of props) await this.mouse.writeProp(id, propBytes(mode, id));
      this.state.live = structuredClone({ performance: mode.performance, buttons: mode.buttons, lighting: mode.lighting });
      return true;
    } catch (e) {
      Object.assign(mode, before);
      this.sync.markMode(mode.index);
      this.deviceFailure(e, () => this.changeMode(fn, props));
      this.render();
      return false;
    }
  }

  // ---- modes -----------------------------------------------------------------
  async switchMode(index, { reason = 'user' } = {}) {
    const p = this.state.profile;
    const target = findMode(p, index);
    if (!target) return;
    if (reason === 'user') this.state.homeMode = target.index;
    if (p.current === target.index) return;
    p.current = target.index;
    this.sync.markAll();
    this.render();
    if (this.mouse && this.state.deviceState === 'ready') {
      try {
        await this.mouse.applyMode(target, this.state.live);
        this.state.live = structuredClone({ performance: target.performance, buttons: target.buttons, lighting: target.lighting });
      } catch (e) {
        this.deviceFailure(e, () => this.connectMouse());
      }
    }
    if (reason !== 'user') this.info(t('modes.switched', { name: target.name }));
    await this.saveNow();
    this.render();
  }

  onProcessChanged(index, running) {
    const p = this.state.profile;
    if (!p || !findMode(p, index)) return;
    const list = this.state.boundRunning.filter((x) => x !== index);
    if (running) {
      if (!this.state.boundRunning.length) this.state.homeMode = p.current;
      list.push(index);
      this.state.boundRunning = list;
      this.switchMode(index, { reason: 'program' });
    } else {
      this.state.boundRunning = list;
      if (p.current === index) {
        const back = list.length ? list[list.length - 1] : this.state.homeMode;
        if (back && back !== index) this.switchMode(back, { reason: 'program' });
      }
      this.render();
    }
  }

  async addMode() {
    const p = this.state.profile;
    const index = String(nextModeIndex(p.modes));
    p.modes.push(newMode(index, t('modes.newName', { n: p.modes.length + 1 }), this.mode));
    this.sync.markAll();
    this.render();
    await this.saveNow();
    return index;
  }

  renameMode(index, name) {
    const m = findMode(this.state.profile, index);
    const clean = String(name).trim().slice(0, 40);
    if (!m || !clean || clean === m.name) return;
    m.name = clean;
    this.sync.markAll();
    this.render();
  }

  async deleteMode(index) {
    const p = this.state.profile;
    if (p.modes.length <= 1) return;
    const m = findMode(p, index);
    if (!m) return;
    const hadBinding = !!m.bindingProcess;
    p.modes = p.modes.filter((x) => x !== m);
    if (p.current === index) await this.switchMode(p.modes[0].index);
    this.sync.markAll();
    this.render();
    if (hadBinding) await this.bindingsChanged();
    else await this.saveNow();
  }

  async bindProgram(index) {
    let path;
    try {
      path = await this.bridge.call('openFileDialogExe', {}, { timeoutMs: 0 });
    } catch (e) {
      this.error('error.dialog', e.message);
      return;
    }
    const m = findMode(this.state.profile, index);
    if (!m || !path) return;
    m.bindingProcess = path;
    this.sync.markAll();
    this.render();
    await this.bindingsChanged();
  }

  async unbindProgram(index) {
    const m = findMode(this.state.profile, index);
    if (!m || !m.bindingProcess) return;
    m.bindingProcess = '';
    this.state.boundRunning = this.state.boundRunning.filter((x) => x !== index);
    this.sync.markAll();
    this.render();
    await this.bindingsChanged();
  }

  // The monitor reads the bindings from the saved file: store, then tell it.
  async bindingsChanged() {
    try {
      await this.sync.flush();
      const reply = await this.bridge.call('confChanged');
      if (reply !== 'confChanged') throw new Error(reply);
      this.state.saveState = 'saved';
      this.ui?.updateSaveState();
    } catch (e) {
      this.error('error.binding', e.message);
    }
  }

  async exportMode(index) {
    const m = findMode(this.state.profile, index);
    if (!m) return;
    let path;
    try {
      path = await this.bridge.call('saveFileDialog', {}, { timeoutMs: 0 });
    } catch (e) {
      this.error('error.dialog', e.message);
      return;
    }
    if (!path) return;
    if (!/\.pfd$/i.test(path)) path += '.pfd';
    try {
      await this.sync.flush();
      const reply = await this.bridge.request(rq.profile.exportNode(PROFILE_PATH, path, modeXpath(m.index)));
      if (reply !== 'saveXmlAs success') throw new Error(reply);
      this.info(t('modes.exported', { name: m.name, path }));
    } catch (e) {
      this.error('error.export', e.message);
    }
  }

  // Imports a .pfd as a new mode (see ProfileSync.importMode): the mode shows
  // up once the file's settings have been read back.
  async importMode() {
    let path;
    try {
      path = await this.bridge.call('openFileDialog', {}, { timeoutMs: 0 });
    } catch (e) {
      this.error('error.dialog', e.message);
      return;
    }
    if (!path) return;
    const name = nameFromPath(path);
    try {
      const mode = await this.sync.importMode(path, name);
      // Values the file did not have (or had out of range) took factory values.
      this.sync.markMode(mode.index);
      await this.saveNow();
      this.info(t('modes.imported', { name }));
    } catch (e) {
      // The cache may hold the unfinished mode; the model never had it.
      this.sync.markAll();
      this.error('error.import', e.message);
      await this.sync.flush().catch(() => {});
    }
    this.render();
  }

  async resetProfile() {
    try {
      const reply = await this.bridge.request(rq.profile.reset(FACTORY_PATH, PROFILE_PATH));
      if (reply !== 'resetProfile success') throw new Error(reply);
    } catch (e) {
      this.error('error.reset', e.message);
      return;
    }
    const oldMacros = this.state.profile?.macros ?? [];
    this.sync.all = false;
    this.sync.modes.clear();
    await this.loadProfile();
    this.state.boundRunning = [];
    await this.saveNow();
    await this.bindingsChanged();
    if (this.mouse && this.state.deviceState !== 'none') {
      // Slots the old profile used are cleared so the mouse holds what the profile says.
      for (const m of oldMacros) {
        if (!this.state.profile.macros.some((x) => x.slot === m.slot)) {
          try { await this.mouse.clearMacro(m.slot); } catch (e) { this.deviceFailure(e); }
        }
      }
      this.state.deviceState = 'loading';
      await this.connectMouse();
    }
    this.state.macroStatus = {};
    this.info(t('modes.resetDone'));
    this.render();
  }

  // ---- macros ----------------------------------------------------------------
  macro(slot) {
    return this.state.profile.macros.find((m) => m.slot === slot) ?? null;
  }

  newMacro(slot) {
    const p = this.state.profile;
    if (this.macro(slot)) return;
    p.macros.push({ slot, name: t('macros.defaultName', { n: slot + 1 }), repeat: 0, count: 1, steps: [] });
    p.macros.sort((a, b) => a.slot - b.slot);
    this.state.selectedSlot = slot;
    this.sync.markAll();
    this.render();
  }

  // Edits a macro through fn(macro); stores it in the mouse shortly after.
  editMacro(slot, fn, { immediate = false } = {}) {
    const m = this.macro(slot);
    if (!m) return;
    fn(m);
    this.sync.markAll();
    this.state.macroStatus[slot] = 'pending';
    this.render();
    clearTimeout(this.macroTimers[slot]);
    if (immediate) return this.storeMacro(slot);
    this.macroTimers[slot] = setTimeout(() => this.storeMacro(slot), 600);
    return Promise.resolve();
  }

  async storeMacro(slot) {
    const m = this.macro(slot);
    if (!m) return;
    const err = validateMacro(m);
    if (err) {
      this.state.macroStatus[slot] = { error: { key: err } };
      this.render();
      return;
    }
    if (!this.mouse || this.state.deviceState !== 'ready') {
      this.state.macroStatus[slot] = 'offline';
      this.render();
      return;
    }
    this.state.macroStatus[slot] = 'storing';
    this.render();
    try {
      await this.mouse.storeMacro(slot, encodeMacro(m));
      this.state.macroStatus[slot] = 'stored';
      await this.saveNow();
    } catch (e) {
      this.state.macroStatus[slot] = { error: e };
      this.deviceFailure(e, () => this.storeMacro(slot));
    }
    this.render();
  }

  async deleteMacro(slot) {
    const p = this.state.profile;
    const users = macroUsers(p, slot);
    p.macros = p.macros.filter((m) => m.slot !== slot);
    // Buttons that ran it go back to what they do out of the box.
    const factory = factoryButtons();
    for (const { mode, button } of users) findMode(p, mode).buttons[button] = { ...factory[button] };
    for (const { mode } of users) this.sync.markMode(mode);
    this.sync.markAll();
    delete this.state.macroStatus[slot];
    if (this.state.selectedSlot === slot) this.state.selectedSlot = null;
    this.render();
    if (this.mouse && this.state.deviceState === 'ready') {
      try {
        if (users.some((u) => u.mode === p.current)) await this.mouse.writeProp(PROP.BUTTONS, encodeButtons(this.mode.buttons));
        this.state.live = structuredClone({ performance: this.mode.performance, buttons: this.mode.buttons, lighting: this.mode.lighting });
        await this.mouse.clearMacro(slot);
      } catch (e) {
        this.deviceFailure(e);
      }
    }
    await this.saveNow();
  }

  async startRecording(slot) {
    if (this.state.recording) return;
    try {
      const reply = await this.bridge.call('startRecord');
      if (reply !== 'startRecord success!') throw new Error(reply);
    } catch (e) {
      this.error('error.record', e.message);
      return;
    }
    this.state.recording = { slot, steps: [] };
    this.render();
  }

  onMacroItem(item) {
    const rec = this.state.recording;
    if (!rec) return;
    appendStep(rec.steps, stepFromItem(item));
    this.ui?.renderRecording();
  }

  async stopRecording() {
    const rec = this.state.recording;
    if (!rec) return;
    try {
      await this.bridge.call('stopRecord');
    } catch (e) {
      this.error('error.record', e.message);
    }
    this.state.recording = null;
    const steps = tidyRecording(rec.steps);
    if (steps.length && this.macro(rec.slot)) await this.editMacro(rec.slot, (m) => { m.steps = steps; }, { immediate: true });
    else this.render();
  }

  // ---- system mouse ----------------------------------------------------------
  async setSystem(kind, value) {
    const table = {
      pointerSpeed: ['modifyMouseSpeed', 'speednum'],
      scrollLines: ['modifyMouseScrollLines', 'linenum'],
      doubleClick: ['modifyMouseDoubleClick', 'position'],
    };
    const [funcname, member] = table[kind];
    this.state.systemStatus[kind] = 'busy';
    this.render();
    try {
      const reply = await this.bridge.call(funcname, { [member]: value });
      if (reply !== `${funcname} success`) throw new Error(reply);
      this.state.profile.system[kind] = String(value);
      this.sync.markAll();
      this.state.systemStatus[kind] = 'ok';
    } catch (e) {
      this.state.systemStatus[kind] = { error: e.message };
      this.error('error.system', e.message);
    }
    this.render();
  }

  // ---- window ----------------------------------------------------------------
  minimise() {
    this.bridge.request(rq.MINIMISE).catch(() => {});
  }

  toggleMaximise() {
    this.state.maximised = !this.state.maximised;
    this.bridge.post(this.state.maximised ? rq.MAXIMISE : rq.RESTORE);
    this.ui?.updateChrome();
  }

  async close() {
    await this.saveNow();
    this.bridge.call('closeApp').catch(() => {});
  }

  async checkUpdate() {
    try {
      const reply = await this.bridge.call('checkUpdate');
      if (reply !== 'checkUpdate success') throw new Error(reply);
      // Without an update service the check ends at once with nothing to show;
      // say so rather than leave the user waiting for a window.
      const server = this.state.conf?.updateServer;
      this.info(t(server === '' ? 'settings.updateNoService' : 'settings.updateStarted'));
    } catch (e) {
      this.error('error.update', e.message);
    }
  }
}

// The bytes of one property from a mode's settings.
export function propBytes(mode, id) {
  const p = mode.performance;
  switch (id) {
    case PROP.STAGE_COUNT: return [p.stageCount];
    case PROP.ACTIVE_STAGE: return [p.activeStage];
    case PROP.STAGE_DPI: return encodeStageDpi(p.stages);
    case PROP.STAGE_COLOUR: return encodeStageColours(p.stages);
    case PROP.POLLING: return [p.pollingRate];
    case PROP.LIFT_OFF: return [p.liftOff];
    case PROP.BUTTONS: return encodeButtons(mode.buttons);
    case PROP.LIGHTING: return encodeLighting(mode.lighting);
    case PROP.ANGLE_SNAP: return [p.angleSnap];
    case PROP.DEBOUNCE: return [p.debounce];
    case PROP.MOTION_SYNC: return [p.motionSync];
    default: throw new RangeError(`property ${id}`);
  }
}

if (typeof window !== 'undefined' && typeof document !== 'undefined') {
  const app = new App();
  app.start().catch((e) => {
    console.error(e);
    app.error('error.start', e.message);
  });
}
