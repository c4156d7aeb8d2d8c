// The eight macro slots: editing, storing in the mouse, recording from the
// keyboard, and keeping the mouse's slots equal to the profile's macros.
import { ACTION, PROP } from '../devicemap.js';
import { defaultAssignment, encodeProp } from '../devicesettings.js';
import { t } from '../i18n.js';
import {
  ESC, appendStep, applyDelayChoice, cutAtStopKey, encodeMacro, eventCount, stepFromItem, tidyRecording, validateMacro,
} from '../macro.js';
import { applyMacroRepeat, findMode, macroUsers, modeSettings } from '../profile.js';
import { shownMacroName } from '../names.js';
import * as rq from '../requests.js';

export class MacrosController {
  constructor(app) {
    this.app = app;
    this.timers = {};
  }

  listen() {
    this.app.bridge.on('macroItem', (...item) => this.onItem(item));
  }

  get(slot) {
    return this.app.state.profile.macros.find((m) => m.slot === slot) ?? null;
  }

  // Why the macro cannot be stored in the shown mouse ('' when it can): its own checks, and
  // the most events a slot of this mouse may hold (a ratbagd mouse's buttons play 256).
  // Storing clears the slot first, so a macro the mouse refuses would leave it empty.
  problem(m) {
    const err = validateMacro(m);
    if (err) return err;
    const max = this.app.device.caps?.macros.events;
    return max && eventCount(m.steps) > max ? 'macro.error.tooLong' : '';
  }

  create(slot) {
    const { app } = this;
    const p = app.state.profile;
    if (this.get(slot)) return;
    p.macros.push({ slot, name: t('macros.defaultName', { n: slot + 1 }), repeat: 0, count: 1, steps: [] });
    p.macros.sort((a, b) => a.slot - b.slot);
    app.state.selectedSlot = slot;
    app.sync.markAll();
    app.update();
  }

  // Edits a macro through fn(macro); stores it in the mouse shortly after.
  edit(slot, fn, { immediate = false } = {}) {
    const { app } = this;
    const m = this.get(slot);
    if (!m) return Promise.resolve();
    fn(m);
    app.sync.markAll();
    app.state.macroStatus[slot] = 'pending';
    app.update();
    clearTimeout(this.timers[slot]);
    if (immediate) return this.store(slot);
    this.timers[slot] = setTimeout(() => this.store(slot), 600);
    return Promise.resolve();
  }

  // How a macro plays (once, while held, on/off, a number of times): the
  // macro's setting and that of every button in every mode that runs it.
  // A refused write to the mouse puts all of it back.
  async setRepeat(slot, repeat, count) {
    const { app } = this;
    const m = this.get(slot);
    if (!m) return;
    const set = (r, c) => {
      m.repeat = r;
      m.count = c;
      // The shown mouse's buttons change through change() below; the
      // sections of other mice keep theirs (such a mouse plays a macro its way).
      for (const mode of app.state.profile.modes) if (mode !== app.shown) applyMacroRepeat(mode, slot, r, c);
    };
    const before = [m.repeat, m.count];
    set(repeat, count);
    app.sync.markAll();
    const caps = app.device.caps;
    const playable = !caps || caps.macros.repeat.includes(repeat);
    if (playable && app.shown.buttons.some((b) => b.type === ACTION.MACRO && b.p1 === slot)) {
      const ok = await app.modes.change((mode) => applyMacroRepeat(mode, slot, repeat, count), [PROP.BUTTONS]);
      if (!ok) {
        set(...before);
        app.sync.markAll();
      }
    }
    app.update();
  }

  async store(slot) {
    const { app } = this;
    const status = app.state.macroStatus;
    const m = this.get(slot);
    if (!m) return;
    const err = this.problem(m);
    if (err) {
      status[slot] = { error: { key: err } };
      app.update();
      return;
    }
    if (!app.device.ready) {
      status[slot] = 'offline';
      app.update();
      return;
    }
    status[slot] = 'storing';
    app.update();
    try {
      await app.device.mouse.storeMacro(slot, encodeMacro(m));
      status[slot] = 'stored';
      await app.modes.save();
    } catch (e) {
      status[slot] = { error: e };
      app.device.failure(e, () => this.store(slot));
    }
    app.update();
  }

  async remove(slot) {
    const { app } = this;
    const p = app.state.profile;
    const users = macroUsers(p, slot);
    p.macros = p.macros.filter((m) => m.slot !== slot);
    // Buttons that ran it go back to their default: the classic mouse's
    // factory assignment, another mouse's as it held it when first seen
    // (unless that ran this macro too), else a plain one it takes.
    const shownKey = app.state.settingsKey;
    for (const { mode, button, key } of users) {
      const caps = key === shownKey ? app.device.caps : null;
      const first = app.modes.buttonDefault(button, key, caps);
      const back = first && !(first.type === ACTION.MACRO && first.p1 === slot) ? first : defaultAssignment(caps, button);
      modeSettings(findMode(p, mode), key).buttons[button] = back;
      app.sync.markMode(mode);
    }
    app.sync.markAll();
    delete app.state.macroStatus[slot];
    if (app.state.selectedSlot === slot) app.state.selectedSlot = null;
    app.update();
    if (app.device.ready) {
      const { mouse } = app.device;
      try {
        const written = users.some((u) => u.mode === p.current && u.key === shownKey) ? mouse.writeProp(7, encodeProp(mouse.caps, app.shown, 7)) : null;
        app.device.keepLive(app.shown);
        await written;
        await mouse.clearMacro(slot);
      } catch (e) {
        app.device.failure(e);
      }
    }
    await app.modes.save();
  }

  // Macros of the profile that the mouse does not hold as they are get written.
  async syncToMouse() {
    const { app } = this;
    const { mouse } = app.device;
    for (const m of app.state.profile.macros) {
      if (this.problem(m)) continue;
      try {
        const inMouse = await mouse.readMacro(m.slot);
        const want = encodeMacro(m);
        // The bytes hold the name as far as the slot keeps it: a longer name
        // would never equal the profile's own.
        const same = inMouse && JSON.stringify(encodeMacro(inMouse)) === JSON.stringify(want);
        if (!same) await mouse.storeMacro(m.slot, want);
        app.state.macroStatus[m.slot] = 'stored';
      } catch (e) {
        app.state.macroStatus[m.slot] = { error: e };
      }
    }
    app.update();
  }

  async startRecording(slot) {
    const { app } = this;
    if (app.state.recording) return;
    try {
      rq.expectReply(await app.bridge.request(rq.recorder.start()), rq.recorder.startDone);
    } catch (e) {
      app.error('error.record', e.message);
      return;
    }
    app.state.recording = { slot, steps: [], stopping: false };
    app.update();
  }

  // The key that stops a recording from the keyboard (null: only the pointer
  // stops it). It is never part of the macro; every other key is.
  get stopKey() {
    return this.app.state.profile?.recording?.stopKey === 'none' ? null : ESC;
  }

  onItem(item) {
    const rec = this.app.state.recording;
    if (!rec) return;
    const step = stepFromItem(item);
    appendStep(rec.steps, step);
    const stop = this.stopKey;
    if (stop && step?.kind === 'down' && step.scan === stop.scan && step.ext === stop.ext) this.stopRecording();
    this.app.update();
  }

  // The steps a recording gives with the recording settings (delays as
  // recorded, none or fixed; the stop key and what followed it cut off).
  recordedSteps(rec) {
    const stop = this.stopKey;
    const steps = tidyRecording(stop ? cutAtStopKey(rec.steps, stop) : rec.steps);
    return applyDelayChoice(steps, this.app.state.profile.recording);
  }

  // Ends the recording. Items that arrive until the recorder has stopped still
  // count (the stop key typed into this window may be seen here before the
  // recorder's item for it arrives). The steps replace the macro's; the old
  // ones can be brought back for a few seconds.
  async stopRecording() {
    const { app } = this;
    const rec = app.state.recording;
    if (!rec || rec.stopping) return;
    rec.stopping = true;
    app.update();
    try {
      await app.bridge.request(rq.recorder.stop());
    } catch (e) {
      app.error('error.record', e.message);
    }
    app.state.recording = null;
    const steps = this.recordedSteps(rec);
    const m = this.get(rec.slot);
    if (!steps.length || !m) {
      app.update();
      return;
    }
    const before = m.steps;
    const stored = this.edit(rec.slot, (mm) => { mm.steps = steps; }, { immediate: true });
    if (before.length) this.offerUndo(rec.slot, before, 'macros.undoRecording');
    await stored;
  }

  // Changes the steps of a macro through fn(steps) and offers to put the old
  // steps back.
  editSteps(slot, fn, undoKey) {
    const m = this.get(slot);
    if (!m) return;
    const before = m.steps;
    this.edit(slot, (mm) => { mm.steps = fn(mm.steps); });
    if (undoKey) this.offerUndo(slot, before, undoKey);
  }

  offerUndo(slot, steps, key) {
    const name = shownMacroName(this.get(slot)?.name ?? '');
    this.app.offerUndo(key, { name }, () => {
      if (this.get(slot) && !this.app.state.recording) this.edit(slot, (mm) => { mm.steps = steps; }, { immediate: true });
    });
  }

  setRecording(fn) {
    const { app } = this;
    fn(app.state.profile.recording);
    app.sync.markAll();
    app.update();
  }
}
