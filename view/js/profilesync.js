// Keeps the native profile cache in step with the page's model. Changes are
// marked (one mode, or the whole document) and sent shortly after the last
// change with modifyProfileEx, so a slider dragged across many values costs
// one edit. save() also writes the cache to disk (savexml).
import { PROFILE_PATH, confContentXml, findMode, modeContentXml, modeXpath } from './profile.js';
import * as rq from './requests.js';

export class ProfileSync {
  constructor(bridge, getModel, { delayMs = 400, timers = globalThis, onState = () => {} } = {}) {
    this.bridge = bridge;
    this.getModel = getModel;
    this.delayMs = delayMs;
    this.timers = timers;
    this.onState = onState;
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
    if (this.timer !== null) {
      this.timers.clearTimeout(this.timer);
      this.timer = null;
    }
    const run = async () => {
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
          if (reply !== 'modifyProfileEx success') throw new Error(reply);
        }
        this.onState(this.dirty ? 'pending' : 'stored');
      } catch (e) {
        if (all) this.all = true;
        for (const i of modes) this.modes.add(i);
        this.onState('failed', e);
        throw e;
      }
    };
    this.chain = this.chain.then(run, run);
    return this.chain;
  }

  // Flushes, then writes the profiles to disk.
  async save() {
    await this.flush();
    const reply = await this.bridge.request(rq.profile.save());
    if (reply !== 'save xml success') throw new Error(reply);
    this.onState('saved');
  }
}
