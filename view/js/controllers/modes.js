// The profile and its modes: loading, saving, switching (by the user, the
// mouse's mode button or a bound program), editing the active mode's settings,
// bindings, export, import and the reset to factory defaults.
import { keepBoundModes, keptBoundModes, localStorageOf, profileAddress } from '../boundmodes.js';
import { has } from '../caps.js';
import { ACTION, factoryButtons, factoryLighting, factoryPerformance } from '../devicemap.js';
import { assignmentValid, encodeProp } from '../devicesettings.js';
import { t } from '../i18n.js';
import {
  FACTORY_PATH, PROFILE_PATH, activeMode, findMode, modeExportContentXml, modeFromExport, newMode, nextModeIndex,
  modeSettings, placeImportedMacros, profileFromXml, nameFromPath, unifyMacroRepeat, uniqueModeName,
} from '../profile.js';
import { shownModeName } from '../names.js';
import { announceProfileChange } from '../profilesync.js';
import * as rq from '../requests.js';
import { parseXml } from '../xml.js';

const FACTORY_SECTIONS = { performance: factoryPerformance, buttons: factoryButtons, lighting: factoryLighting };

// "Mode N" for a new mode, N one more than the modes there are, or higher
// while a mode already shows that name (a deleted mode leaves its number to
// a later one; a built-in name made in another language shows the same).
function newModeName(profile) {
  const shown = new Set(profile.modes.map((m) => shownModeName(m.name)));
  let n = profile.modes.length + 1;
  while (shown.has(t('modes.newName', { n }))) n += 1;
  return t('modes.newName', { n });
}

export class ModesController {
  constructor(app) {
    this.app = app;
    this.followQueued = null; // the read of follow() that has not started yet
    this.resumed = Promise.resolve(); // resumeBound() once the running programs are known
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
    // The mode to go back to when bound programs end; a page back from a
    // rest keeps the one it had.
    if (state.homeMode === null || !findMode(state.profile, state.homeMode)) state.homeMode = state.profile.current;
    app.update();
  }

  // Another page of the program changed the profile in the native cache: this
  // page sends its own pending changes first, then reads the profile again,
  // keeping the screen and what is picked on it. The mouse holds what that
  // page wrote to it. Notices that come while a read waits give one read.
  follow() {
    const { app } = this;
    if (this.followQueued) return this.followQueued;
    const read = app.sync.exclusive(async () => {
      this.followQueued = null;
      await this.load();
      const shown = modeSettings(this.active, app.state.settingsKey);
      if (app.device.ready && shown) app.device.keepLive(shown);
    });
    // Its own changes refused: the page keeps its model, which has them.
    this.followQueued = read.catch(() => { this.followQueued = null; });
    return this.followQueued;
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

  // Changes the shown mouse's settings in the active mode through
  // fn(settings), writes the given properties (those the mouse has) and marks
  // the profile. A write the mouse refuses puts the settings back, says why,
  // and shows what the mouse really holds (read again).
  async change(fn, props) {
    const { app } = this;
    const mode = this.active;
    const s = app.shown;
    const before = structuredClone({ performance: s.performance, buttons: s.buttons, lighting: s.lighting });
    fn(s);
    app.sync.markMode(mode.index);
    app.update();
    if (!app.device.ready) {
      app.device.changedOffline = true; // written when the mouse is connected
      return true;
    }
    const { mouse } = app.device;
    try {
      const writes = props.filter((id) => has(mouse.caps, id)).map((id) => [id, encodeProp(mouse.caps, s, id)]);
      // Queued at once and taken as held: a mode picked before they return
      // is written after them and against them.
      const written = mouse.writeProps(writes);
      app.device.keepLive(s);
      await written;
      return true;
    } catch (e) {
      Object.assign(s, before);
      app.sync.markMode(mode.index);
      app.device.failure(e, () => this.change(fn, props));
      await app.device.reread({ quiet: true });
      app.update();
      return false;
    }
  }

  // Puts one part (performance, buttons or lighting) of a mode's settings for
  // a mouse (key: where the mode keeps them, see modeSettings) to the given
  // value; when the mode is active and the mouse shown, the mouse gets what
  // differs, in the order it accepts. A refused write puts the part back.
  async replaceSection(index, section, value, key = this.app.state.settingsKey) {
    const { app } = this;
    const mode = findMode(app.state.profile, index);
    const settings = mode && modeSettings(mode, key);
    if (!settings) return false;
    const before = settings[section];
    settings[section] = structuredClone(value);
    app.sync.markMode(mode.index);
    app.update();
    if (mode !== this.active || key !== app.state.settingsKey) return true;
    if (!app.device.ready) {
      app.device.changedOffline = true; // written when the mouse is connected
      return true;
    }
    try {
      await app.device.apply(settings);
      return true;
    } catch (e) {
      settings[section] = before;
      app.sync.markMode(mode.index);
      app.device.failure(e, () => this.replaceSection(index, section, value, key));
      await app.device.reread({ quiet: true });
      app.update();
      return false;
    }
  }

  // change() for something that deletes or replaces settings (a DPI stage, a
  // whole screen): "Undo" puts that part of the mode back for a few seconds.
  async changeUndoable(section, fn, props, key, vars = {}) {
    const mode = this.active;
    const where = this.app.state.settingsKey;
    const before = structuredClone(this.app.shown[section]);
    if (!(await this.change(fn, props))) return false;
    this.app.offerUndo(key, vars, () => this.replaceSection(mode.index, section, before, where));
    return true;
  }

  // What one screen of the shown mouse's settings goes back to: the classic
  // mouse's factory settings; for another mouse what it held when the page
  // first saw it (a button the page could not show then keeps what it does
  // now); null when there is none.
  sectionDefaults(section) {
    const { app } = this;
    const key = app.state.settingsKey;
    if (!key) return FACTORY_SECTIONS[section]();
    const first = app.state.profile?.firstSeen?.[key];
    if (!first) return null;
    const value = structuredClone(first[section]);
    if (section !== 'buttons') return value;
    const now = app.shown.buttons;
    return value.map((b, i) => (b.type === ACTION.KEEP && now[i] ? { ...now[i] } : b));
  }

  // What button i of the settings kept under key goes back to: the classic
  // mouse's factory assignment, or what the mouse held when first seen; null
  // when that is not known (or is what the page cannot show).
  buttonDefault(i, key = this.app.state.settingsKey, caps = this.app.device.caps) {
    if (!key) return { ...factoryButtons()[i] };
    const b = this.app.state.profile?.firstSeen?.[key]?.buttons?.[i];
    if (!b || b.type === ACTION.KEEP || (caps && !assignmentValid(caps, i, b))) return null;
    return { ...b };
  }

  // One screen of the active mode back to its defaults (the whole profile's
  // reset is reset()).
  async resetSection(section) {
    const mode = this.active;
    const where = this.app.state.settingsKey;
    const value = this.sectionDefaults(section);
    if (!value) return false;
    const before = structuredClone(this.app.shown[section]);
    if (!(await this.replaceSection(mode.index, section, value, where))) return false;
    this.app.offerUndo(where ? 'screenReset.doneFirstSeen' : 'screenReset.done', { name: shownModeName(mode.name) },
      () => this.replaceSection(mode.index, section, before, where));
    return true;
  }

  async switchTo(index, { reason = 'user' } = {}) {
    const { app } = this;
    const p = app.state.profile;
    const target = findMode(p, index);
    if (!target) return;
    if (reason === 'user') app.state.homeMode = target.index;
    const changed = p.current !== target.index;
    p.current = target.index;
    this.keepBound({ picked: reason === 'user' });
    if (!changed) return;
    app.sync.markAll();
    app.update();
    if (!app.device.ready) app.device.changedOffline = true;
    else {
      try {
        const settings = app.device.settingsOf(target);
        await app.device.apply(settings);
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
  // A program already known to run is no new start: a restarted monitor
  // (after any binding changed) reports the running ones once more, and the
  // mode the user chose meanwhile stays.
  onProcessChanged(index, running) {
    const { state } = this.app;
    const p = state.profile;
    if (!p || !findMode(p, index)) return;
    if (running && state.boundRunning.includes(index)) return;
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
    this.keepBound();
  }

  // The main page follows the bound programs for the program: it keeps what
  // it stacked beyond its own life (boundmodes.js). The popup's page leaves
  // that to it; a mode the user picks there still ends what was kept.
  keepBound({ picked = false } = {}) {
    const { state, bridge } = this.app;
    const storage = localStorageOf(bridge.win);
    const where = profileAddress(bridge.win);
    if (state.session?.mainPage) keepBoundModes(storage, where, state.profile, state.boundRunning, state.homeMode);
    else if (picked) keepBoundModes(storage, where, null, [], null);
  }

  // A main page that starts afresh (not back from a rest) takes back the
  // programs it had stacked for this profile, then asks which of them still
  // run once the monitor has looked: one that ended while nobody watched ends
  // now, as its end would have. The claims are made before any event is
  // handled, so the monitor's first report of a program that still runs is
  // no new start.
  resumeBound() {
    const { app } = this;
    const { state, bridge } = app;
    if (!state.session?.mainPage || state.profileError) return this.resumed;
    const kept = keptBoundModes(localStorageOf(bridge.win), profileAddress(bridge.win), state.profile);
    if (!kept) {
      this.keepBound(); // nothing true to keep
      return this.resumed;
    }
    state.boundRunning = kept.running;
    state.homeMode = kept.home;
    this.resumed = (async () => {
      let running;
      try {
        running = JSON.parse(await bridge.request(rq.settings.runningBindings(), { timeoutMs: 0 }));
      } catch (e) {
        console.warn(`bound programs not known: ${e.message}`);
        return; // not known: the mode stays until the program's end is seen
      }
      if (!Array.isArray(running)) return;
      for (const index of kept.running) {
        if (!running.includes(index) && state.boundRunning.includes(index)) this.onProcessChanged(index, false);
      }
    })();
    return this.resumed;
  }

  async add() {
    const { app } = this;
    const p = app.state.profile;
    const index = String(nextModeIndex(p.modes));
    p.modes.push(newMode(index, newModeName(p), this.active));
    app.sync.markAll();
    app.update();
    await this.save();
    return index;
  }

  // A name as it is shown changes nothing: a name the program gave ("Default")
  // stays its own and follows the language.
  rename(index, name) {
    const m = findMode(this.app.state.profile, index);
    const clean = String(name).trim().slice(0, 40);
    if (!m || !clean || clean === m.name || clean === shownModeName(m.name)) return;
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
    // Its program no longer counts as running (a new mode may take its index),
    // and a bound program that ends goes back to a mode that exists.
    app.state.boundRunning = app.state.boundRunning.filter((x) => x !== index);
    if (app.state.homeMode === index) app.state.homeMode = p.modes[0].index;
    this.keepBound();
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
    // The program bound before no longer counts; the new one is reported
    // as it starts (or at once when it runs).
    this.app.state.boundRunning = this.app.state.boundRunning.filter((x) => x !== index);
    this.keepBound();
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
    this.keepBound();
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

  // Exports a mode with the macros its buttons run; the dialog proposes the
  // mode's name as the file name.
  async exportMode(index) {
    const { app } = this;
    const m = findMode(app.state.profile, index);
    if (!m) return;
    let path = await this.askPath(rq.dialogs.saveProfile(`${shownModeName(m.name)}.pfd`));
    if (!path) return;
    if (!/\.pfd$/i.test(path)) path += '.pfd';
    try {
      await app.sync.exportMode(path, m.index, modeExportContentXml(app.state.profile, m));
      app.info('modes.exported', { name: shownModeName(m.name), path });
    } catch (e) {
      app.error('error.export', e.message);
    }
  }

  // The exported element of a .pfd file. The program reads it
  // (queryExportFile); an older program without that command leaves the
  // request unanswered, and the element is read through the profile cache
  // (without its stored name).
  async readExport(path) {
    const { app } = this;
    let text;
    try {
      text = await app.bridge.request(rq.profile.readExport(path), { timeoutMs: 4000 });
    } catch (e) {
      if (!e.timeout) throw e;
      return app.sync.readExportThroughCache(path);
    }
    return parseXml(text);
  }

  // Imports a .pfd: the mode keeps its stored name (the file's name for files
  // without one) and brings its macros into free slots, its buttons running
  // them there. A mode of the same name is replaced only when the user says so.
  async importMode() {
    const { app } = this;
    const path = await this.askPath(rq.dialogs.openProfile());
    if (!path) return;
    let imported;
    try {
      imported = modeFromExport(await this.readExport(path));
    } catch (e) {
      app.error('error.import', e.message);
      return;
    }
    const p = app.state.profile;
    let name = imported.name || nameFromPath(path);
    let target = null;
    // Names are compared as shown: "Modus 2" made in German is the "Mode 2" of a file made in English.
    const same = p.modes.find((m) => shownModeName(m.name) === shownModeName(name));
    if (same) {
      const choice = await app.ui.confirm({
        title: t('modes.importSameTitle'), text: t('modes.importSame', { name: shownModeName(name) }),
        ok: t('modes.importReplace'), alt: t('modes.importKeepBoth'), danger: true,
      });
      if (!choice) return;
      if (choice === 'alt') name = uniqueModeName({ modes: p.modes.map((m) => ({ name: shownModeName(m.name) })) }, shownModeName(name));
      else target = same;
    }
    const placed = placeImportedMacros(p, imported.buttons, imported.macros, imported.devices);
    p.macros.push(...placed.added);
    p.macros.sort((a, b) => a.slot - b.slot);
    const settings = { performance: imported.performance, buttons: placed.buttons, lighting: imported.lighting, devices: placed.devices };
    let index;
    if (target) {
      index = target.index;
      Object.assign(target, structuredClone(settings));
    } else {
      index = String(nextModeIndex(p.modes));
      p.modes.push({ index, name, bindingProcess: '', ...structuredClone(settings) });
    }
    // Its macro buttons play their macros as the macros say (a macro only
    // they run takes their setting).
    unifyMacroRepeat(p);
    app.sync.markAll();
    app.update();
    // The macros first: the buttons that run them may reach the mouse next.
    for (const m of placed.added) await app.macros.store(m.slot);
    if (target && index === p.current && !app.device.ready) app.device.changedOffline = true;
    else if (target && index === p.current) {
      try {
        const shown = app.device.settingsOf(target);
        await app.device.apply(shown);
      } catch (e) {
        app.device.failure(e, () => app.device.connect());
      }
    }
    await this.save();
    app.info('modes.imported', { name: shownModeName(name) });
    if (placed.missing) app.error('error.importSlots');
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
    announceProfileChange();
    const oldMacros = state.profile?.macros ?? [];
    // The mouse chosen among several stays the one shown.
    const chosen = state.profile?.device ?? '';
    // What each mouse held when first seen stays known, and is what every
    // mode holds for it now: its factory settings, as far as the page knows.
    const firstSeen = state.profile?.firstSeen ?? {};
    app.sync.all = false;
    app.sync.modes.clear();
    state.homeMode = null;
    await this.load();
    if (chosen && !state.profileError) {
      state.profile.device = chosen;
      app.sync.markAll();
    }
    if (Object.keys(firstSeen).length && !state.profileError) {
      state.profile.firstSeen = structuredClone(firstSeen);
      for (const mode of state.profile.modes) {
        mode.devices = { ...(mode.devices ?? {}), ...structuredClone(firstSeen) };
      }
      app.sync.markAll();
    }
    state.boundRunning = [];
    this.keepBound();
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
