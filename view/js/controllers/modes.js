// The profile and its modes: loading, saving, switching (by the user, the
// mouse's mode button or a bound program), editing the active mode's settings,
// bindings, export, import and the reset to factory defaults.
import { PROP, encodeButtons, encodeLighting, encodeStageColours, encodeStageDpi } from '../devicemap.js';
import { t } from '../i18n.js';
import {
  FACTORY_PATH, PROFILE_PATH, activeMode, findMode, modeXpath, newMode, nextModeIndex, profileFromXml, nameFromPath, unifyMacroRepeat,
} from '../profile.js';
import { shownModeName } from '../names.js';
import * as rq from '../requests.js';

export class ModesController {
  constructor(app) {
    this.app = app;
  }

  get active() {
    return activeMode(this.app.state.profile);
  }

  listen() {
    this.app.bridge.on('onProcessChanged', (index, running) => this.onProcessChanged(String(index), !!running));
  }

  async load() {
    const { app } = this;
    const { state } = app;
    try {
      const text = await app.bridge.request(rq.profile.query(PROFILE_PATH, '/conf'));
      if (!text.trim()) throw new Error('empty');
      const model = profileFromXml(text);
      state.profile = model;
      state.profileError = null;
      if (model.repaired) app.sync.markAll();
    } catch (e) {
      // Keep working on factory settings in memory, but never overwrite the
      // file the user has: only "reset" replaces it.
      state.profileError = e.message;
      if (!state.profile) state.profile = profileFromXml('<conf/>');
      app.error('error.profileRead', e.message, [{ label: 'modes.reset', run: () => app.ui.confirmReset() }], { everywhere: true });
    }
    state.homeMode = state.profile.current;
    app.update();
  }

  async save() {
    const { app } = this;
    if (app.state.profileError) return;
    try {
      await app.sync.save();
    } catch (e) {
      app.state.saveState = 'failed';
    }
    app.update();
  }

  // Changes the active mode through fn(mode), writes the given properties and
  // marks the profile. A refused write puts the mode back as it was.
  async change(fn, props) {
    const { app } = this;
    const mode = this.active;
    const before = structuredClone(mode);
    fn(mode);
    app.sync.markMode(mode.index);
    app.update();
    if (!app.device.ready) {
      app.device.changedOffline = true; // written when the mouse is connected
      return true;
    }
    try {
      for (const id of props) await app.device.mouse.writeProp(id, propBytes(mode, id));
      app.device.keepLive(mode);
      return true;
    } catch (e) {
      Object.assign(mode, before);
      app.sync.markMode(mode.index);
      app.device.failure(e, () => this.change(fn, props));
      app.update();
      return false;
    }
  }

  async switchTo(index, { reason = 'user' } = {}) {
    const { app } = this;
    const p = app.state.profile;
    const target = findMode(p, index);
    if (!target) return;
    if (reason === 'user') app.state.homeMode = target.index;
    if (p.current === target.index) return;
    p.current = target.index;
    app.sync.markAll();
    app.update();
    if (!app.device.ready) app.device.changedOffline = true;
    else {
      try {
        await app.device.mouse.applyMode(target, app.state.live);
        app.device.keepLive(target);
      } catch (e) {
        app.device.failure(e, () => app.device.connect());
      }
    }
    if (reason !== 'user') app.info('modes.switched', { name: shownModeName(target.name) });
    await this.save();
    app.update();
  }

  // A bound program started or stopped: its mode comes and goes; several
  // bound programs stack, and the last one left gives back the user's mode.
  onProcessChanged(index, running) {
    const { state } = this.app;
    const p = state.profile;
    if (!p || !findMode(p, index)) return;
    const list = state.boundRunning.filter((x) => x !== index);
    if (running) {
      if (!state.boundRunning.length) state.homeMode = p.current;
      list.push(index);
      state.boundRunning = list;
      this.switchTo(index, { reason: 'program' });
    } else {
      state.boundRunning = list;
      if (p.current === index) {
        const back = list.length ? list[list.length - 1] : state.homeMode;
        if (back && back !== index) this.switchTo(back, { reason: 'program' });
      }
      this.app.update();
    }
  }

  async add() {
    const { app } = this;
    const p = app.state.profile;
    const index = String(nextModeIndex(p.modes));
    p.modes.push(newMode(index, t('modes.newName', { n: p.modes.length + 1 }), this.active));
    app.sync.markAll();
    app.update();
    await this.save();
    return index;
  }

  rename(index, name) {
    const m = findMode(this.app.state.profile, index);
    const clean = String(name).trim().slice(0, 40);
    if (!m || !clean || clean === m.name) return;
    m.name = clean;
    this.app.sync.markAll();
    this.app.update();
  }

  async remove(index) {
    const { app } = this;
    const p = app.state.profile;
    if (p.modes.length <= 1) return;
    const m = findMode(p, index);
    if (!m) return;
    const hadBinding = !!m.bindingProcess;
    p.modes = p.modes.filter((x) => x !== m);
    if (p.current === index) await this.switchTo(p.modes[0].index);
    app.sync.markAll();
    app.update();
    if (hadBinding) await this.bindingsChanged();
    else await this.save();
  }

  // Asks the user for a file through one of the native dialogs; null when
  // the dialog could not be opened (said to the user) or was cancelled.
  async askPath(request) {
    try {
      return (await this.app.bridge.request(request, { timeoutMs: 0 })) || null;
    } catch (e) {
      this.app.error('error.dialog', e.message);
      return null;
    }
  }

  async bind(index) {
    const path = await this.askPath(rq.dialogs.openProgram());
    const m = findMode(this.app.state.profile, index);
    if (!m || !path) return;
    m.bindingProcess = path;
    this.app.sync.markAll();
    this.app.update();
    await this.bindingsChanged();
  }

  async unbind(index) {
    const { app } = this;
    const m = findMode(app.state.profile, index);
    if (!m || !m.bindingProcess) return;
    m.bindingProcess = '';
    app.state.boundRunning = app.state.boundRunning.filter((x) => x !== index);
    app.sync.markAll();
    app.update();
    await this.bindingsChanged();
  }

  // The monitor reads the bindings from the saved file: store, then tell it.
  async bindingsChanged() {
    const { app } = this;
    try {
      await app.sync.flush();
      rq.expectReply(await app.bridge.request(rq.settings.bindingsChanged()), rq.settings.bindingsChangedDone);
      app.state.saveState = 'saved';
      app.update();
    } catch (e) {
      app.error('error.binding', e.message);
    }
  }

  async exportMode(index) {
    const { app } = this;
    const m = findMode(app.state.profile, index);
    if (!m) return;
    let path = await this.askPath(rq.dialogs.saveProfile());
    if (!path) return;
    if (!/\.pfd$/i.test(path)) path += '.pfd';
    try {
      await app.sync.flush();
      rq.expectReply(await app.bridge.request(rq.profile.exportNode(PROFILE_PATH, path, modeXpath(m.index))), rq.profile.exportDone);
      app.info('modes.exported', { name: m.name, path });
    } catch (e) {
      app.error('error.export', e.message);
    }
  }

  // Imports a .pfd as a new mode (see ProfileSync.importMode): the mode shows
  // up once the file's settings have been read back.
  async importMode() {
    const { app } = this;
    const path = await this.askPath(rq.dialogs.openProfile());
    if (!path) return;
    const name = nameFromPath(path);
    try {
      const mode = await app.sync.importMode(path, name);
      // Values the file did not have (or had out of range) took factory values.
      app.sync.markMode(mode.index);
      // Its macro buttons play their macros as the macros say.
      if (unifyMacroRepeat(app.state.profile)) app.sync.markAll();
      await this.save();
      app.info('modes.imported', { name });
    } catch (e) {
      // The cache may hold the unfinished mode; the model never had it.
      app.sync.markAll();
      app.error('error.import', e.message);
      await app.sync.flush().catch(() => {});
    }
    app.update();
  }

  async reset() {
    const { app } = this;
    const { state } = app;
    try {
      rq.expectReply(await app.bridge.request(rq.profile.reset(FACTORY_PATH, PROFILE_PATH)), rq.profile.resetDone);
    } catch (e) {
      app.error('error.reset', e.message);
      return;
    }
    const oldMacros = state.profile?.macros ?? [];
    app.sync.all = false;
    app.sync.modes.clear();
    await this.load();
    state.boundRunning = [];
    await this.save();
    await this.bindingsChanged();
    const { device } = app;
    if (device.mouse && state.deviceState !== 'none') {
      // Slots the old profile used are cleared so the mouse holds what the profile says.
      for (const m of oldMacros) {
        if (!state.profile.macros.some((x) => x.slot === m.slot)) {
          try { await device.mouse.clearMacro(m.slot); } catch (e) { device.failure(e); }
        }
      }
      state.deviceState = 'loading';
      await device.connect();
    }
    state.macroStatus = {};
    app.info('modes.resetDone');
    app.update();
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
