// Keeps the native profile cache in step with the page's model. Changes are
// marked (one mode, or the whole document) and sent shortly after the last
// change with modifyProfileEx, so a slider dragged across many values costs
// one edit. save() also writes the cache to disk (savexml); with autoSave
// every edit sent is written to disk too.
//
// The program shows the page twice (the main window and the hot key's
// popup), each with a model of its own. A page that changed the native cache
// says so (announceProfileChange): the browser's "storage" event reaches every
// other page of the program, and those read the profile again
// (onOtherPageChange) before their next change could undo that one.
import {
  PROFILE_PATH, confContentXml, findMode, modeContentXml, modeXpath, newMode, nextModeIndex,
} from './profile.js';
import * as rq from './requests.js';
import { parseXml } from './xml.js';

export const PROFILE_CHANGED_KEY = 'kelv.profileChanged';

// Tells the other pages that the native cache changed. The value is new every
// time: an equal one would raise no event.
export function announceProfileChange(storage = globalThis.localStorage) {
  try {
    storage?.setItem(PROFILE_CHANGED_KEY, `${Date.now()}.${Math.random().toString(36).slice(2)}`);
  } catch {
    // No local storage: there is no other page to tell.
  }
}

// Calls fn whenever another page announced a change.
export function onOtherPageChange(win, fn) {
  win.addEventListener?.('storage', (e) => {
    if (e.key === PROFILE_CHANGED_KEY) fn();
  });
}

export class ProfileSync {
  constructor(bridge, getModel, { delayMs = 400, timers = globalThis, onState = () => {}, autoSave = () => false, onSent = () => {} } = {}) {
    this.bridge = bridge;
    this.getModel = getModel;
    this.delayMs = delayMs;
    this.timers = timers;
    this.onState = onState;
    this.autoSave = autoSave;
    this.onSent = onSent; // after marked changes reached the native cache
    this.all = false;
    this.modes = new Set();
    this.timer = null;
    this.chain = Promise.resolve();
    this.queued = 0; // sends started or waiting their turn
  }

  get dirty() {
    return this.all || this.modes.size > 0;
  }

  // Nothing waits for its moment and nothing is on its way (an edit the
  // native side refused stays marked, but is not on its way).
  get settled() {
    return this.timer === null && this.queued === 0;
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
    this.queued += 1;
    const step = async () => {
      try {
        await this.sendMarked();
        return await task();
      } finally {
        this.queued -= 1;
      }
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
    let sent = 0;
    try {
      for (const [xpath, xml] of edits) {
        const reply = await this.bridge.request(rq.profile.replaceContent(PROFILE_PATH, xpath, xml));
        rq.expectReply(reply, rq.profile.replaceDone);
        sent += 1;
      }
      if (this.dirty) this.onState('pending');
      else if (this.autoSave()) await this.writeToDisk();
      else this.onState('stored');
    } catch (e) {
      if (all) this.all = true;
      for (const i of modes) this.modes.add(i);
      this.onState('failed', e);
      throw e;
    } finally {
      if (sent) this.onSent();
    }
  }

  // Exports mode index to an export file (.pfd) with saveXmlAs, which copies
  // a node of the cache: for that moment the mode's node also holds the
  // macros its buttons run (contentXml), then its own content again.
  exportMode(path, index, contentXml) {
    return this.exclusive(async () => {
      const model = this.getModel();
      const mode = findMode(model, index);
      if (!mode) throw new Error('no such mode');
      const xpath = modeXpath(index);
      rq.expectReply(await this.bridge.request(rq.profile.replaceContent(PROFILE_PATH, xpath, contentXml)), rq.profile.replaceDone);
      try {
        rq.expectReply(await this.bridge.request(rq.profile.exportNode(PROFILE_PATH, path, xpath)), rq.profile.exportDone);
      } finally {
        // Should that fail, the next flush gives the mode its content.
        await this.bridge.request(rq.profile.replaceContent(PROFILE_PATH, xpath, modeContentXml(mode)))
          .then((r) => rq.expectReply(r, rq.profile.replaceDone)).catch(() => this.markMode(index));
      }
    });
  }

  // The exported element of an export file, for a program that cannot read
  // one itself: a scratch mode in the native cache is filled from the file
  // (modifyReplaceProfileEx copies the element's children, not its
  // attributes), read back, and the cache given the model again. All in one
  // exclusive run, so no change of the model is sent in between.
  readExportThroughCache(path) {
    return this.exclusive(async () => {
      const model = this.getModel();
      const index = String(nextModeIndex(model.modes));
      const withScratch = { ...model, modes: [...model.modes, newMode(index, '')] };
      try {
        let reply = await this.bridge.request(rq.profile.replaceContent(PROFILE_PATH, '/conf', confContentXml(withScratch)));
        rq.expectReply(reply, rq.profile.replaceDone);
        reply = await this.bridge.request(rq.profile.importInto(path, PROFILE_PATH, '/mode', modeXpath(index)));
        rq.expectReply(reply, rq.profile.importDone);
        const text = await this.bridge.request(rq.profile.query(PROFILE_PATH, modeXpath(index)));
        return parseXml(text);
      } finally {
        await this.bridge.request(rq.profile.replaceContent(PROFILE_PATH, '/conf', confContentXml(this.getModel())))
          .then((r) => rq.expectReply(r, rq.profile.replaceDone)).catch(() => this.markAll());
      }
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
