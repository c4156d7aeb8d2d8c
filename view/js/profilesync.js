// Keeps the native profile cache in step with the page's model. Changes are
// marked (one mode, or the whole document) and sent shortly after the last
// change with modifyProfileEx, so a slider dragged across many values costs
// one edit. save() also writes the cache to disk (savexml); with autoSave
// every edit sent is written to disk too.
import {
  PROFILE_PATH, confContentXml, findMode, modeContentXml, modeXpath, newMode, nextModeIndex, profileFromXml,
} from './profile.js';
import * as rq from './requests.js';
import { child, childrenNamed, parseXml } from './xml.js';

export class ProfileSync {
  constructor(bridge, getModel, { delayMs = 400, timers = globalThis, onState = () => {}, autoSave = () => false } = {}) {
    this.bridge = bridge;
    this.getModel = getModel;
    this.delayMs = delayMs;
    this.timers = timers;
    this.onState = onState;
    this.autoSave = autoSave;
    this.all = false;
    this.modes = new Set();
    this.timer = null;
    this.chain = Promise.resolve();
  }

  get dirty() {
    return this.all || this.modes.size > 0;
  }

  markMode(index) {
    this.modes.add(String(index));
    this.schedule();
  }

  markAll() {
    this.all = true;
    this.schedule();
  }

  schedule() {
    this.onState('pending');
    if (this.timer !== null) this.timers.clearTimeout(this.timer);
    this.timer = this.timers.setTimeout(() => {
      this.timer = null;
      this.flush().catch(() => {});
    }, this.delayMs);
  }

  // Sends every marked change now. Rejects with the native answer when an
  // edit is refused; the change stays marked so the next flush tries again.
  flush() {
    return this.exclusive(() => undefined);
  }

  // Runs task (an async function sending profile commands) after every change
  // marked so far has been sent, and before any later flush: no edit of the
  // page's model reaches the native cache while the task's commands run, so
  // what the task reads back is what its own commands left there.
  exclusive(task) {
    if (this.timer !== null) {
      this.timers.clearTimeout(this.timer);
      this.timer = null;
    }
    const step = async () => {
      await this.sendMarked();
      return task();
    };
    this.chain = this.chain.then(step, step);
    return this.chain;
  }

  async sendMarked() {
    if (!this.dirty) return;
    const all = this.all;
    const modes = Array.from(this.modes);
    this.all = false;
    this.modes.clear();
    const model = this.getModel();
    const edits = all
      ? [['/conf', confContentXml(model)]]
      : modes.filter((i) => findMode(model, i)).map((i) => [modeXpath(i), modeContentXml(findMode(model, i))]);
    try {
      for (const [xpath, xml] of edits) {
        const reply = await this.bridge.request(rq.profile.replaceContent(PROFILE_PATH, xpath, xml));
        rq.expectReply(reply, rq.profile.replaceDone);
      }
      if (this.dirty) this.onState('pending');
      else if (this.autoSave()) await this.writeToDisk();
      else this.onState('stored');
    } catch (e) {
      if (all) this.all = true;
      for (const i of modes) this.modes.add(i);
      this.onState('failed', e);
      throw e;
    }
  }

  // Imports an export file (.pfd) as a new mode named name. The mode is made
  // in the native cache (the model plus an empty mode), filled from the file
  // there, read back, and only then added to the model, all in one exclusive
  // run: a change flushed in between would put the empty mode back over the
  // imported settings. Resolves with the new mode; on failure the cache may
  // still hold the unfinished mode (mark everything to send the model again).
  importMode(path, name) {
    return this.exclusive(async () => {
      const model = this.getModel();
      const index = String(nextModeIndex(model.modes));
      const withNew = { ...model, modes: [...model.modes, newMode(index, name)] };
      let reply = await this.bridge.request(rq.profile.replaceContent(PROFILE_PATH, '/conf', confContentXml(withNew)));
      rq.expectReply(reply, rq.profile.replaceDone);
      reply = await this.bridge.request(rq.profile.importInto(path, PROFILE_PATH, '/mode', modeXpath(index)));
      rq.expectReply(reply, rq.profile.importDone);
      const text = await this.bridge.request(rq.profile.query(PROFILE_PATH, '/conf'));
      const node = childrenNamed(child(child(parseXml(text), 'modeSetting'), 'modes'), 'mode').find((m) => m.attrs.index === index);
      if (!node) throw new Error('the imported mode is missing');
      // An export of anything but a mode leaves the new mode without settings.
      if (!['performance', 'buttons', 'lighting'].some((n) => child(node, n))) throw new Error('the file holds no mode settings');
      const imported = findMode(profileFromXml(text), index);
      const mode = { ...imported, index, name, bindingProcess: '' };
      this.getModel().modes.push(mode);
      return mode;
    });
  }

  // Flushes, then writes the profiles to disk.
  async save() {
    await this.flush();
    await this.writeToDisk();
  }

  async writeToDisk() {
    const reply = await this.bridge.request(rq.profile.save());
    rq.expectReply(reply, rq.profile.saveDone);
    this.onState('saved');
  }
}
