// The connected mouse: property reads and writes, the macro slots, and the
// settings of one mode applied in the order the mouse accepts them. Writes go
// one after the other (a queue), so a fast series of changes reaches the
// mouse in the order the user made them.
import { parseByteList } from './bytes.js';
import {
  BATTERY_PROP, CLASSIC_CAPS, DESCRIPTION_PROP, DESCRIPTION_SIZE, IDLE_PROP, LAST_RESULT_PROP, LOW_BATTERY_PROP,
  RESULT_MESSAGES, SYNC_PROP, capsFromBytes, has, readBattery,
} from './caps.js';
import { MACRO_SLOT_SIZE, PROP, macroSlotAddress, pickMice } from './devicemap.js';
import {
  PROP_ACTIVE_PROFILE, PROP_ENABLED_PROFILES, PROP_PROFILE_NAMES, applyOrder, decodeOnboard, decodeSettings, modeProps, propSize,
} from './devicesettings.js';
import { decodeMacro } from './macro.js';
import * as rq from './requests.js';

export class DeviceError extends Error {
  // key: i18n key of what failed; detail: the native answer; code: the
  // device library's result of a failed write (0 when not known)
  constructor(key, detail = '', code = 0) {
    super(`${key}: ${detail}`);
    this.key = key;
    this.detail = detail;
    this.code = code;
  }
}

export class Mouse {
  constructor(bridge, device, caps = CLASSIC_CAPS) {
    this.bridge = bridge;
    this.device = device;
    this.caps = caps;
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

  async readBytes(id, size, device = this.device) {
    const reply = await this.ask(rq.readProp(device, id, size), 'error.read');
    let bytes;
    try { bytes = parseByteList(reply); } catch (e) { throw new DeviceError('error.read', e.message); }
    if (bytes.length !== size) throw new DeviceError('error.read', `property ${id}: ${bytes.length} bytes`);
    return bytes;
  }

  readProp(id) {
    return this.readBytes(id, propSize(this.caps, id));
  }

  // The device description (what the device can do); a device that
  // describes nothing is the classic mouse. Kept as this.caps.
  async readCaps() {
    const bytes = await this.readBytes(DESCRIPTION_PROP, DESCRIPTION_SIZE);
    try {
      this.caps = capsFromBytes(bytes);
      this.description = bytes; // kept while the page rests (js/rest.js)
    } catch (e) {
      throw new DeviceError('error.describe', e.message);
    }
    return this.caps;
  }

  // The result code of the last write to the device (0 when it cannot say).
  async lastResult() {
    try {
      return (await this.readBytes(LAST_RESULT_PROP, 1))[0];
    } catch {
      return 0;
    }
  }

  // A write the device refused: the error names why, from the result the
  // device library kept (value out of range, refused by the daemon, …). A
  // device that went during the write cannot say: it is gone when it is no
  // longer listed.
  async writeFailure(reply) {
    let code = await this.lastResult();
    if (!code && !(await this.listed())) code = 1;
    return new DeviceError(RESULT_MESSAGES[code] ?? 'error.write', reply, code);
  }

  // Whether the device list still has this device (true when the list cannot be read).
  async listed() {
    try {
      const { mice } = pickMice(JSON.parse(await this.bridge.request(rq.deviceList())));
      return mice.some((d) => d.HardwareID === this.device.HardwareID && d.SN === this.device.SN);
    } catch {
      return true;
    }
  }

  // A write command: any answer but done (the failure text included) is a
  // failure named by the device library's last result.
  async write(text, done) {
    let reply;
    try {
      reply = await this.bridge.request(text);
    } catch (e) {
      if (e.timeout) throw new DeviceError('error.write.noAnswer', 'no answer', 4);
      reply = e.message;
    }
    if (reply !== done) throw await this.writeFailure(reply);
  }

  writeProp(id, bytes) {
    return this.enqueue(() => this.write(rq.writeProp(this.device, id, bytes), rq.DEVICE_DONE.writeProp));
  }

  // Everything the page shows, read from the device: { settings, onboard }.
  // A device that vanished answers zeros; a stage count of 0 tells that
  // apart from real settings. The count is read last: a device that goes
  // while it is read answers zeros from then on, which taken as settings
  // would turn every button off.
  async readAll() {
    const { caps } = this;
    const props = {};
    const onboard = [PROP_ACTIVE_PROFILE, PROP_ENABLED_PROFILES, ...(caps.profiles.names ? [PROP_PROFILE_NAMES] : [])];
    for (const id of [...modeProps(caps).filter((i) => i !== PROP.STAGE_COUNT), ...onboard, PROP.STAGE_COUNT]) {
      if (has(caps, id)) props[id] = await this.readProp(id);
    }
    const settings = decodeSettings(caps, props);
    const count = settings.performance.stageCount;
    if (has(caps, 1) && (count < caps.stages.min || count > caps.stages.max || count < 1)) {
      throw new DeviceError('error.read', `stage count ${count}`);
    }
    return { settings, onboard: decodeOnboard(caps, props) };
  }

  async readSettings() {
    return (await this.readAll()).settings;
  }

  // Writes [id, bytes] pairs in one turn of the queue, so no other write
  // comes between them (a mode picked meanwhile is written after all of
  // them); the first one refused ends the turn.
  writeProps(writes) {
    return this.enqueue(async () => {
      for (const [id, bytes] of writes) await this.write(rq.writeProp(this.device, id, bytes), rq.DEVICE_DONE.writeProp);
    });
  }

  // Writes a mode's settings, skipping what the device already holds (see
  // applyOrder). current is what the device holds once the writes queued
  // before this call are done: the writes are worked out and queued at once.
  // Returns the number of writes.
  async applyMode(settings, current = null) {
    const writes = applyOrder(this.caps, settings, current);
    await this.writeProps(writes);
    return writes.length;
  }

  notify(type, data) {
    return this.enqueue(() => this.write(rq.notifyDevice(this.device, type, data), rq.DEVICE_DONE.notify));
  }

  // The battery (property 67): { level, state }, or null for none or a level
  // nobody knows. Any mouse may have one (a daemon's mouse through UPower too):
  // a device without it answers a failure, which is no error here.
  async readBattery() {
    try {
      return readBattery(await this.readBytes(BATTERY_PROP, 2));
    } catch {
      return null;
    }
  }

  // The device's own settings, outside the modes: the daemon's lighting sync
  // (68), the idle time (69, seconds) and the mouse's own low-battery
  // threshold (70, %); 0 for a value the device cannot say.
  async readOwnSettings() {
    const { caps } = this;
    const own = {};
    if (caps.sync) own.sync = (await this.readBytes(SYNC_PROP, 1))[0] === 1;
    if (caps.idle) {
      const b = await this.readBytes(IDLE_PROP, 2);
      own.idle = b[0] | (b[1] << 8);
    }
    if (caps.lowBattery) own.lowBattery = (await this.readBytes(LOW_BATTERY_PROP, 1))[0];
    return own;
  }

  // Writes one of them (key: sync, idle or lowBattery).
  writeOwnSetting(key, value) {
    if (key === 'sync') return this.writeProp(SYNC_PROP, [value ? 1 : 0]);
    if (key === 'idle') return this.writeProp(IDLE_PROP, [value & 0xff, (value >> 8) & 0xff]);
    return this.writeProp(LOW_BATTERY_PROP, [value]);
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
