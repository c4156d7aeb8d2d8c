// A stand-in for the native side in Node: answers the page's requests the way
// the device and profile commands do (reply texts, byte lists, the macro
// memory rules), over a fake window with cefQuery/setMessageCallback.
import { formatByteList, parseByteList } from '../../view/js/bytes.js';
import { FACTORY_BUTTONS, FACTORY_STAGE_COLOURS, FACTORY_STAGE_DPI } from '../../view/js/devicemap.js';
import { hexToRgb } from '../../view/js/bytes.js';

export const DEVICE = {
  DeviceID: 'KELV-M1', DevicePath: '\\\\?\\hid#vid_0aa0&pid_5e30#kelv-sim', HardwareID: 'HID\\Vid_0aa0&Pid_5e30',
  SN: 'KM1000000001', Version: '1.0.0', MASK: '01',
};

// A ratbagd mouse as libdc describes it: five fixed stages from an irregular
// DPI list, rates beyond 1000 Hz, eleven buttons without roles, two LEDs.
export const RATBAG_DESCRIPTION = {
  format: 1, source: 'ratbagd', name: 'Test device', model: 'unknown', tag: 3,
  properties: [1, 2, 3, 5, 7, 8, 12, 13, 14, 15, 64, 65, 66],
  stages: { min: 5, max: 5, dpi: [[100, 1000, 50], [1100, 2600, 100], [2800, 5000, 200], [5500, 12000, 500]], colours: false, default: true, disable: false, separateXY: false },
  reportRates: [[2, 250], [4, 1000], [6, 4000], [7, 8000]], liftOff: [], angleSnap: false, debounce: [], motionSync: false,
  buttons: { count: 11, roles: Array(11).fill(''), allowed: Array(11).fill(510) },
  functions: { 1: [1, 2, 3, 4, 5, 6, 7, 8, 9, 10], 3: [1, 2, 3, 4, 5, 6], 4: [1, 2, 3, 4], 6: [1, 2, 3, 4, 5, 6], 7: [6, 7, 8, 9, 30], 8: [1, 2, 3] },
  lighting: { record: 8, leds: [{ effects: [0, 1, 3, 2], colour: 'rgb', duration: [0, 10000] }, { effects: [0, 1], colour: 'rgb111', duration: [0, 10000] }] },
  profiles: { count: 3, disable: true }, macros: { slots: 8, repeat: [0], events: 256 }, firmware: false,
};
export class FakeMouse {
  // props: the properties of another device (a described one answers 64);
  // without, the classic mouse with its factory values and no description.
  constructor(props = null) {
    const dpi = [];
    FACTORY_STAGE_DPI.forEach((v) => dpi.push(v & 0xff, v >> 8));
    this.props = props ?? {
      1: [5], 2: [1], 3: dpi, 4: FACTORY_STAGE_COLOURS.flatMap((c) => hexToRgb(c)), 5: [4], 6: [2],
      7: FACTORY_BUTTONS.flat(), 8: [2, 0x39, 0xa7, 0xda, 80, 5], 9: [0], 10: [4], 11: [1],
    };
    this.classic = !props;
    this.memory = new Uint8Array(0x10000);
    this.failWrites = false;
    this.failResult = 4; // the last result a failed write leaves (property 66)
    this.lastResult = 0;
    this.log = [];
  }

  validProp(id, bytes) {
    const size = this.props[id]?.length;
    if (!size || bytes.length > size || id >= 64) return false;
    if (!this.classic) return true;
    const v = bytes[0];
    switch (id) {
      case 1: return v >= 1 && v <= 8 && this.props[2][0] < v;
      case 2: return v < this.props[1][0];
      case 5: return v >= 1 && v <= 4;
      case 6: return v >= 1 && v <= 3;
      case 9: case 11: return v <= 1;
      case 10: return v >= 2 && v <= 16;
      default: return true;
    }
  }
}

// handlers: funcname -> (request object) => { ok, text } | undefined, for
// commands beyond the device and profile ones.
// more: further devices [{ info, mouse }] listed after the classic one;
// services: the bytes SERVICES\ answers for property 65 (the services' states).
// The browser's local storage of one user, in memory.
export function memoryStorage() {
  const items = new Map();
  return {
    getItem: (k) => (items.has(k) ? items.get(k) : null),
    setItem: (k, v) => { items.set(k, String(v)); },
    removeItem: (k) => { items.delete(k); },
  };
}

// localStorage: what the page's storage holds; href: the page's address.
export function makeNative({ mouse = new FakeMouse(), files = {}, handlers = {}, more = [], services = null, localStorage = null, href = 'file:///opt/kelv/view/index.html' } = {}) {
  const callbacks = new Map();
  const cache = { ...files };
  const requests = [];
  let nextId = 1;
  const win = {
    requests,
    mouse,
    cache,
    services,
    localStorage,
    location: { href },
    present: true,
    cefQuery({ request, onSuccess, onFailure }) {
      requests.push(request);
      const id = nextId++;
      const answer = handle(request);
      if (answer === undefined) return id; // no reply
      queueMicrotask(() => (answer.ok ? onSuccess(answer.text) : onFailure(0, answer.text)));
      return id;
    },
    cefQueryCancel() {},
    setMessageCallback(name, fn) {
      if (typeof name !== 'string' || typeof fn !== 'function' || callbacks.has(name)) return undefined;
      callbacks.set(name, fn);
      return undefined;
    },
    emit(name, ...args) {
      callbacks.get(name)?.(args);
    },
  };
  const ok = (text) => ({ ok: true, text });
  const fail = (text) => ({ ok: false, text });
  function handle(text) {
    let r;
    try { r = JSON.parse(text); } catch { return undefined; }
    const other = more.find((d) => d.present !== false && d.info.HardwareID === r.HardwareID);
    const here = (win.present && r.HardwareID === DEVICE.HardwareID) || !!other;
    const mouse = other ? other.mouse : win.mouse;
    const size = Number(r.PARAMSIZE);
    const addr = parseInt(String(r.PARAMADDRESS ?? ''), 16);
    const data = () => (r.PARAMDATA === '' ? [] : parseByteList(r.PARAMDATA));
    if (handlers[r.funcname]) return handlers[r.funcname](r);
    switch (r.funcname) {
      case 'getDevicesList': return ok(JSON.stringify([...(win.present ? [DEVICE] : []), ...more.filter((d) => d.present !== false).map((d) => d.info)]));
      case 'readDevicesProp': {
        if (r.HardwareID === 'SERVICES\\' && win.services) return ok(formatByteList(Array.from({ length: size }, (_, i) => win.services[i] ?? 0)));
        const p = here ? mouse.props[r.PARAMID] ?? [] : [];
        return ok(formatByteList(Array.from({ length: size }, (_, i) => p[i] ?? 0)));
      }
      case 'writeDevicesProp': {
        const bytes = data().slice(0, size);
        if (!here || mouse.failWrites || !mouse.validProp(r.PARAMID, bytes)) {
          if (here) {
            mouse.lastResult = mouse.failWrites ? mouse.failResult : 2;
            mouse.props[66] = [mouse.lastResult];
          }
          mouse.log.push(['refused', r.PARAMID, bytes]);
          return fail('writeDevicesProp failed!');
        }
        mouse.props[r.PARAMID].splice(0, bytes.length, ...bytes);
        mouse.log.push(['prop', r.PARAMID, bytes]);
        return ok('writeDevicesProp success!');
      }
      case 'readByAddr': return ok(formatByteList(here ? mouse.memory.slice(addr, addr + size) : new Array(size).fill(0)));
      case 'isPropEmpty': return ok(here && mouse.memory.slice(addr, addr + size).some((b) => b) ? 'false' : 'true');
      case 'cleanMacroByAddr':
        if (!here || mouse.failWrites) return fail('cleanMacroByAddr failed!');
        mouse.memory.fill(0, addr, addr + size);
        mouse.log.push(['clean', addr, size]);
        return ok('cleanMacroByAddr success!');
      case 'writeMacroByAddr':
        if (here && mouse.memory.slice(addr, addr + size).some((b) => b)) return ok(String(r.PARAMADDRESS));
        if (!here || mouse.failWrites) return fail('writeMacroByAddr failed!');
        mouse.memory.set(data().slice(0, size), addr);
        mouse.log.push(['macro', addr, size]);
        return ok('true');
      case 'notifyDevice': return here ? ok('notifyDevice success!') : fail('notifyDevice failed!');
      case 'queryProfile': return cache[r.filePath] === undefined ? undefined : ok(cache[r.filePath]);
      case 'modifyProfileEx': {
        if (cache[r.filePath] === undefined) return undefined;
        win.edits = (win.edits ?? []).concat([[r.xpath, r.subTreeString]]);
        return ok('modifyProfileEx success');
      }
      case 'savexml': return ok('save xml success');
      default: return undefined;
    }
  }
  return win;
}
