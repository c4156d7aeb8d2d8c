// The connected mouse: property reads and writes, the macro slots, and the
// settings of one mode applied in the order the mouse accepts them. Writes go
// one after the other (a queue), so a fast series of changes reaches the
// mouse in the order the user made them.
import { parseByteList } from './bytes.js';
import {
  MACRO_SLOT_SIZE, PROP, PROP_SIZE, decodeButtons, decodeLighting, decodeStageColours, decodeStageDpi,
  encodeButtons, encodeLighting, encodeStageColours, encodeStageDpi, macroSlotAddress,
} from './devicemap.js';
import { decodeMacro } from './macro.js';
import * as rq from './requests.js';

export class DeviceError extends Error {
  // key: i18n key of what failed; detail: the native answer
  constructor(key, detail = '') {
    super(`${key}: ${detail}`);
    this.key = key;
    this.detail = detail;
  }
}

export class Mouse {
  constructor(bridge, device) {
    this.bridge = bridge;
    this.device = device;
    this.queue = Promise.resolve();
  }

  // Runs fn after every earlier queued operation, whatever their outcome.
  enqueue(fn) {
    const run = this.queue.then(fn, fn);
    this.queue = run.catch(() => {});
    return run;
  }

  async ask(text, failKey) {
    try {
      return await this.bridge.request(text);
    } catch (e) {
      throw new DeviceError(failKey, e.timeout ? 'no answer' : e.message);
    }
  }

  async readProp(id) {
    const reply = await this.ask(rq.readProp(this.device, id, PROP_SIZE[id]), 'error.read');
    let bytes;
    try { bytes = parseByteList(reply); } catch (e) { throw new DeviceError('error.read', e.message); }
    if (bytes.length !== PROP_SIZE[id]) throw new DeviceError('error.read', `property ${id}: ${bytes.length} bytes`);
    return bytes;
  }

  writeProp(id, bytes) {
    return this.enqueue(async () => {
      const reply = await this.ask(rq.writeProp(this.device, id, bytes), 'error.write');
      if (reply !== rq.DEVICE_DONE.writeProp) throw new DeviceError('error.write', reply);
    });
  }

  // Everything the page shows, read from the mouse. A mouse that vanished
  // answers zeros; a stage count of 0 tells that apart from real settings.
  async readSettings() {
    const p = {};
    for (const id of Object.values(PROP)) p[id] = await this.readProp(id);
    const stageCount = p[PROP.STAGE_COUNT][0];
    if (stageCount < 1 || stageCount > 8) throw new DeviceError('error.read', `stage count ${stageCount}`);
    const dpis = decodeStageDpi(p[PROP.STAGE_DPI]);
    const colours = decodeStageColours(p[PROP.STAGE_COLOUR]);
    return {
      performance: {
        stageCount,
        activeStage: Math.min(p[PROP.ACTIVE_STAGE][0], stageCount - 1),
        stages: dpis.map((dpi, i) => ({ dpi, color: colours[i] })),
        pollingRate: p[PROP.POLLING][0],
        liftOff: p[PROP.LIFT_OFF][0],
        angleSnap: p[PROP.ANGLE_SNAP][0],
        debounce: p[PROP.DEBOUNCE][0],
        motionSync: p[PROP.MOTION_SYNC][0],
      },
      buttons: decodeButtons(p[PROP.BUTTONS]),
      lighting: decodeLighting(p[PROP.LIGHTING]),
    };
  }

  // Writes a mode's settings, skipping what the mouse already holds. The
  // active stage is written before a smaller stage count and after a larger
  // one, so the mouse never sees an active stage past the count.
  async applyMode(mode, current = null) {
    const p = mode.performance;
    const writes = [];
    const want = (id, bytes, now) => {
      if (!now || now.join(',') !== bytes.join(',')) writes.push([id, bytes]);
    };
    const cur = current?.performance;
    want(PROP.STAGE_DPI, encodeStageDpi(p.stages), cur && encodeStageDpi(cur.stages));
    want(PROP.STAGE_COLOUR, encodeStageColours(p.stages), cur && encodeStageColours(cur.stages));
    if (!cur) {
      // Unknown state: stage 0 is valid under any count.
      writes.push([PROP.ACTIVE_STAGE, [0]], [PROP.STAGE_COUNT, [p.stageCount]], [PROP.ACTIVE_STAGE, [p.activeStage]]);
    } else if (p.stageCount < cur.stageCount) {
      want(PROP.ACTIVE_STAGE, [p.activeStage], [cur.activeStage]);
      want(PROP.STAGE_COUNT, [p.stageCount], [cur.stageCount]);
    } else {
      want(PROP.STAGE_COUNT, [p.stageCount], [cur.stageCount]);
      want(PROP.ACTIVE_STAGE, [p.activeStage], [cur.activeStage]);
    }
    want(PROP.POLLING, [p.pollingRate], cur && [cur.pollingRate]);
    want(PROP.LIFT_OFF, [p.liftOff], cur && [cur.liftOff]);
    want(PROP.ANGLE_SNAP, [p.angleSnap], cur && [cur.angleSnap]);
    want(PROP.DEBOUNCE, [p.debounce], cur && [cur.debounce]);
    want(PROP.MOTION_SYNC, [p.motionSync], cur && [cur.motionSync]);
    want(PROP.BUTTONS, encodeButtons(mode.buttons), current && encodeButtons(current.buttons));
    want(PROP.LIGHTING, encodeLighting(mode.lighting), current && encodeLighting(current.lighting));
    for (const [id, bytes] of writes) await this.writeProp(id, bytes);
    return writes.length;
  }

  notify(type, data) {
    return this.enqueue(async () => {
      const reply = await this.ask(rq.notifyDevice(this.device, type, data), 'error.write');
      if (reply !== rq.DEVICE_DONE.notify) throw new DeviceError('error.write', reply);
    });
  }

  async readMacro(slot) {
    const reply = await this.ask(rq.readByAddr(this.device, macroSlotAddress(slot), MACRO_SLOT_SIZE), 'error.read');
    const bytes = parseByteList(reply);
    try { return decodeMacro(bytes); } catch (e) { throw new DeviceError('error.macroCorrupt', e.message); }
  }

  async slotEmpty(slot) {
    const reply = await this.ask(rq.isPropEmpty(this.device, macroSlotAddress(slot), MACRO_SLOT_SIZE), 'error.read');
    const empty = rq.emptyReply(reply);
    if (empty === null) throw new DeviceError('error.read', reply);
    return empty;
  }

  clearMacro(slot) {
    return this.enqueue(async () => {
      const reply = await this.ask(rq.cleanMacroByAddr(this.device, macroSlotAddress(slot), MACRO_SLOT_SIZE), 'error.macroClear');
      if (reply !== rq.DEVICE_DONE.cleanMacro) throw new DeviceError('error.macroClear', reply);
    });
  }

  // Stores slot bytes: clears the whole slot when it holds something, then
  // writes into the empty place; reads the slot back to be sure.
  storeMacro(slot, bytes) {
    return this.enqueue(async () => {
      const address = macroSlotAddress(slot);
      if (!(await this.slotEmpty(slot))) {
        const c = await this.ask(rq.cleanMacroByAddr(this.device, address, MACRO_SLOT_SIZE), 'error.macroClear');
        if (c !== rq.DEVICE_DONE.cleanMacro) throw new DeviceError('error.macroClear', c);
      }
      const reply = await this.ask(rq.writeMacroByAddr(this.device, address, bytes), 'error.macroWrite');
      if (reply !== rq.DEVICE_DONE.writeMacro) throw new DeviceError(reply === address.toString(16) ? 'error.macroTaken' : 'error.macroWrite', reply);
      const back = parseByteList(await this.ask(rq.readByAddr(this.device, address, bytes.length), 'error.read'));
      if (back.join(',') !== bytes.join(',')) throw new DeviceError('error.macroVerify', `slot ${slot}`);
    });
  }
}
