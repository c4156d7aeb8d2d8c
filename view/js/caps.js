// What a device can do, from its device description (property 64, JSON; see
// doc/device-map.md): which properties it answers, the DPI values, stage
// counts, polling rates, sensor settings, buttons and what each may do, LEDs,
// onboard profiles and macro limits. The screens ask this module what to show;
// they never look at device names or hardware IDs.
//
// A description is validated and bounded here: unknown members are ignored,
// lists are cut to what a device can have, and values of the wrong kind are
// refused, so a misbehaving device can neither break the page nor make it
// write values the device did not offer.

export const DESCRIPTION_PROP = 64;
export const SERVICE_PROP = 65;
export const LAST_RESULT_PROP = 66;
export const BATTERY_PROP = 67;
export const SYNC_PROP = 68;
export const IDLE_PROP = 69;
export const LOW_BATTERY_PROP = 70;
export const DESCRIPTION_SIZE = 2048;
export const SERVICES_SIZE = 2048;
// The hardware ID whose property 65 lists the state of every service that serves
// real mice (ratbagd, ...): the page never names a service's own hardware ID.
export const SERVICES_HARDWARE_ID = 'SERVICES\\';
const MAX_SERVICES = 8;

const MAX_STAGES = 16;
const MAX_BUTTONS = 32;
const MAX_LEDS = 8;
const MAX_PROFILES = 16;
const MAX_LIST = 400;

// The mouse the page was first made for, as its description reads. A device
// that answers no description at all (a device library without property 64:
// the mouse maker's own, which serves a real mouse) is taken to be this mouse.
// The simulated mouse describes itself, with the source "simulator".
export const CLASSIC_DESCRIPTION = Object.freeze({
  format: 1, source: '', name: '', model: '', tag: 0,
  properties: [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11],
  stages: { min: 1, max: 8, dpi: [[100, 26000, 50]], colours: true, default: false, disable: false, separateXY: false },
  reportRates: [[1, 125], [2, 250], [3, 500], [4, 1000]], liftOff: [1, 2, 3], angleSnap: true,
  debounce: [2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16], motionSync: true,
  buttons: { count: 8, roles: ['left', 'right', 'middle', 'back', 'forward', 'dpiUp', 'dpiDown', 'profile'], allowed: [127, 127, 127, 127, 127, 127, 127, 127] },
  functions: { 1: [1, 2, 3, 4, 5, 6, 7, 8], 3: [1, 2, 3, 4, 5], 4: [1, 2], 6: [1, 2, 3, 4, 5, 6] },
  lighting: { record: 6, leds: [{ effects: [0, 1, 2, 3, 4, 5, 6], colour: 'rgb', duration: null }] },
  profiles: { count: 1, disable: false }, macros: { slots: 8, repeat: [0, 1, 2, 3], events: 672 }, firmware: true,
});

// The physical buttons a role names (the picture has a place for each).
export const ROLES = Object.freeze(['left', 'right', 'middle', 'back', 'forward', 'dpiUp', 'dpiDown', 'profile']);

const isInt = (v, lo, hi) => Number.isInteger(v) && v >= lo && v <= hi;
const ints = (list, lo, hi, max = MAX_LIST) => (Array.isArray(list) ? list.filter((v) => isInt(v, lo, hi)).slice(0, max) : []);
const text = (v, max = 200) => (typeof v === 'string' ? v.slice(0, max) : '');
const flag = (v) => v === true;
const object = (v) => (v && typeof v === 'object' && !Array.isArray(v) ? v : {});

function readRuns(list) {
  if (!Array.isArray(list)) return [];
  return list.filter((r) => Array.isArray(r) && r.length === 3 && isInt(r[0], 1, 65535) && isInt(r[1], r[0], 65535) && isInt(r[2], 0, 65535))
    .map(([a, b, s]) => [a, b, s]).slice(0, MAX_LIST);
}

// The lighting zones a device may name (the page has a name for each).
export const ZONES = Object.freeze(['logo', 'scroll', 'backlight', 'matrix', 'left', 'right']);

function readLed(led) {
  const l = object(led);
  const d = l.duration;
  const sp = l.speed;
  const out = {
    effects: [...new Set(ints(l.effects, 0, 8))].sort((a, b) => a - b),
    colour: ['rgb', 'rgb111', 'none'].includes(l.colour) ? l.colour : 'rgb',
    duration: Array.isArray(d) && d.length === 2 && isInt(d[0], 0, 65535) && isInt(d[1], d[0], 65535) ? [d[0], d[1]] : null,
  };
  // Only where the description says so, so the shape of a device that says nothing of
  // these stays as it was (shapeOf): its zone's name, no brightness of its own (it
  // reads 100 % and ignores the byte), the speeds byte 5 takes (1 to 10 otherwise).
  if (ZONES.includes(l.zone)) out.zone = l.zone;
  if (l.brightness === false) out.noBrightness = true;
  if (Array.isArray(sp) && sp.length === 2 && isInt(sp[0], 1, 255) && isInt(sp[1], sp[0], 255)) out.speed = [sp[0], sp[1]];
  return out;
}

// A range a device takes for a setting of its own (idle time, threshold): { min, max, read }.
function readRange(r, lo, hi) {
  const o = object(r);
  if (!isInt(o.min, lo, hi) || !isInt(o.max, o.min, hi)) return null;
  return { min: o.min, max: o.max, read: flag(o.read) };
}

// The description object as the page uses it. Throws for something that is
// not a description (no object, or a format the page does not know).
export function readCaps(description) {
  const d = object(description);
  if (d !== description) throw new TypeError('the device description is not an object');
  if (d.format !== 1) throw new RangeError(`device description format ${d.format}`);
  const st = object(d.stages);
  const stMin = isInt(st.min, 1, MAX_STAGES) ? st.min : 1;
  const stMax = isInt(st.max, stMin, MAX_STAGES) ? st.max : stMin;
  const bt = object(d.buttons);
  const count = isInt(bt.count, 0, MAX_BUTTONS) ? bt.count : 0;
  const roles = Array.from({ length: count }, (_, i) => (ROLES.includes(bt.roles?.[i]) ? bt.roles[i] : ''));
  const allowed = Array.from({ length: count }, (_, i) => (isInt(bt.allowed?.[i], 0, 0xffffffff) ? bt.allowed[i] : 0));
  // Which mouse functions (type 1) each button takes; without it, all of them.
  const mouse = Array.isArray(bt.mouse) ? Array.from({ length: count }, (_, i) => (isInt(bt.mouse[i], 0, 0xffffffff) ? bt.mouse[i] : 0)) : null;
  const functions = {};
  for (const [type, list] of Object.entries(object(d.functions))) {
    if (isInt(Number(type), 1, 254)) functions[Number(type)] = ints(list, 0, 255, 64);
  }
  const li = object(d.lighting);
  const leds = Array.isArray(li.leds) ? li.leds.slice(0, MAX_LEDS).map(readLed) : [];
  const pr = object(d.profiles);
  const ma = object(d.macros);
  const properties = new Set(ints(d.properties, 1, 255));
  return {
    source: text(d.source, 40),
    name: text(d.name),
    model: text(d.model),
    tag: isInt(d.tag, 0, 255) ? d.tag : 0,
    properties,
    stages: {
      min: stMin, max: stMax, dpi: readRuns(st.dpi),
      colours: flag(st.colours) && properties.has(4), default: flag(st.default) && properties.has(12),
      disable: flag(st.disable) && properties.has(13), separateXY: flag(st.separateXY),
    },
    reportRates: (Array.isArray(d.reportRates) ? d.reportRates : [])
      .filter((r) => Array.isArray(r) && isInt(r[0], 1, 255) && isInt(r[1], 1, 100000)).map(([code, hz]) => ({ value: code, hz })).slice(0, 16),
    liftOff: ints(d.liftOff, 1, 255, 16),
    angleSnap: flag(d.angleSnap) && properties.has(9),
    debounce: ints(d.debounce, 0, 255, 64),
    motionSync: flag(d.motionSync) && properties.has(11),
    buttons: { count, roles, allowed, mouse },
    functions,
    lighting: { record: [8, 9].includes(li.record) ? li.record : 6, leds: properties.has(8) ? leds : [] },
    profiles: {
      count: isInt(pr.count, 1, MAX_PROFILES) ? pr.count : 1, disable: flag(pr.disable) && properties.has(15),
      // Property 16: the profiles' names, and which the device lets rename.
      names: flag(pr.names) && properties.has(16), rename: properties.has(16) ? ints(pr.rename, 0, MAX_PROFILES - 1, MAX_PROFILES) : [],
    },
    macros: {
      slots: isInt(ma.slots, 0, 8) ? ma.slots : 0,
      repeat: ints(ma.repeat, 0, 3, 4),
      events: isInt(ma.events, 0, 672) ? ma.events : 0,
    },
    firmware: flag(d.firmware),
    // Property 67: the battery's level and state.
    battery: flag(d.battery) && properties.has(BATTERY_PROP),
    // Property 68: the daemon copies lighting to all its devices (on or off).
    sync: flag(d.sync) && properties.has(SYNC_PROP),
    // Properties 69 and 70: the mouse's idle time (seconds) and its own low-battery threshold (%).
    idle: properties.has(IDLE_PROP) ? readRange(d.idle, 1, 65535) : null,
    lowBattery: properties.has(LOW_BATTERY_PROP) ? readRange(d.lowBattery, 1, 100) : null,
  };
}

export const CLASSIC_CAPS = readCaps(CLASSIC_DESCRIPTION);

// The bytes of property 64 as caps: the text up to the first NUL. A device
// that answers nothing there is the classic mouse; anything else that is not
// a description throws.
export function capsFromBytes(bytes) {
  const end = bytes.indexOf(0);
  const raw = Uint8Array.from(end < 0 ? bytes : bytes.slice(0, end));
  if (!raw.length) return CLASSIC_CAPS;
  return readCaps(JSON.parse(new TextDecoder('utf-8', { fatal: true }).decode(raw)));
}

export function has(caps, prop) {
  return caps.properties.has(prop);
}

// Whether the device is the simulated mouse of the device library: named as
// such and never chosen over a real mouse. No screen is built from this.
export function isSimulated(caps) {
  return caps?.source === 'simulator';
}

// The shape of a device: everything its description says about the settings
// it holds and takes (not its name, model or data report tag). Settings kept
// for one shape are never fitted to a device of another shape under the same
// hardware ID: that device gets settings of its own (see profile.js).
export function shapeOf(caps) {
  // The battery and the device's own settings (sync, idle time, threshold) are no mode's.
  const { source, name, model, tag, firmware, properties, battery, sync, idle, lowBattery, ...rest } = caps;
  const modeProperties = [...properties].filter((p) => p < BATTERY_PROP || p > LOW_BATTERY_PROP);
  const text = JSON.stringify({ ...rest, properties: modeProperties.sort((a, b) => a - b) });
  let hash = 0x811c9dc5; // FNV-1a, 32 bits
  for (let i = 0; i < text.length; i++) {
    hash ^= text.charCodeAt(i);
    hash = Math.imul(hash, 0x01000193) >>> 0;
  }
  return hash.toString(16).padStart(8, '0');
}

// Whether the device's settings are laid out as the classic mouse's (eight
// stages with colours, eight buttons, one lighting record of six bytes): the
// profile keeps such a device's settings in the mode itself, every other
// device's in a section of its own.
export function fitsClassicLayout(caps) {
  return [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11].every((p) => has(caps, p)) && caps.stages.max === 8 && caps.stages.colours
    && caps.buttons.count === 8 && caps.lighting.record === 6 && caps.lighting.leds.length === 1;
}

// ---- DPI --------------------------------------------------------------------------

// The lowest and highest DPI, and the step when the values are one even run
// (0 when they are not: any value is snapped to the nearest allowed one).
export function dpiRange(caps) {
  const runs = caps.stages.dpi;
  if (!runs.length) return null;
  const min = Math.min(...runs.map((r) => r[0]));
  const max = Math.max(...runs.map((r) => r[1]));
  const step = runs.length === 1 && runs[0][2] > 0 ? runs[0][2] : 0;
  return { min, max, step };
}

// The allowed DPI nearest to value (the higher one when two are as near, as
// rounding does), or
// null when the device takes no DPI from the page.
export function snapDpi(caps, value) {
  const runs = caps.stages.dpi;
  const v = Number(value);
  if (!runs.length) return null;
  if (!Number.isFinite(v)) return Math.min(...runs.map((r) => r[0]));
  let best = null;
  for (const [a, b, s] of runs) {
    const c = Math.min(b, Math.max(a, v));
    let candidates;
    if (s === 0) candidates = [Math.round(c)];
    else {
      const k = Math.floor((c - a) / s);
      candidates = [a + k * s, Math.min(a + (k + 1) * s, a + Math.floor((b - a) / s) * s)];
    }
    for (const x of candidates) {
      if (best === null || Math.abs(x - v) < Math.abs(best - v) || (Math.abs(x - v) === Math.abs(best - v) && x > best)) best = x;
    }
  }
  return best;
}

// Whether the device offers this DPI value as one of its own.
export function dpiAllowed(caps, value) {
  return caps.stages.dpi.some(([a, b, s]) => Number.isInteger(value) && value >= a && value <= b && (s === 0 || (value - a) % s === 0));
}

// The DPI values a short list of runs gives, for a choice list; null when
// there are too many to list (the page then offers a number field).
export function dpiChoices(caps, limit = 64) {
  const out = [];
  for (const [a, b, s] of caps.stages.dpi) {
    if (s === 0) return null;
    for (let v = a; v <= b; v += s) {
      out.push(v);
      if (out.length > limit) return null;
    }
  }
  return [...new Set(out)].sort((x, y) => x - y);
}

// ---- buttons ----------------------------------------------------------------------

export const ACTION_ORDER = Object.freeze([1, 7, 2, 3, 4, 5, 6, 8, 0]);

// The assignment types button i may take, in the order the page offers them.
export function typesFor(caps, i) {
  const bits = caps.buttons.allowed[i] ?? 0;
  return ACTION_ORDER.filter((t) => t <= 31 && (bits & (1 << t)) !== 0 && (t === 0 || t === 2 || t === 5 || functionsFor(caps, t, i).length));
}

// Whether the functions of an assignment type do anything on this device:
// DPI functions step through stages (none with one stage), profile functions
// switch the mouse's own onboard profiles (none with one), or on a mouse
// without them the page's modes.
function typeHasUse(caps, type) {
  if (type === 3) return caps.stages.max > 1;
  if (type === 4) return caps.profiles.count > 1 || !caps.properties.has(14);
  return true;
}

// The functions (p1 values) an assignment type offers on this device, on
// button i when given (a button may take only some mouse functions).
export function functionsFor(caps, type, i = null) {
  const list = typeHasUse(caps, type) ? caps.functions[type] ?? [] : [];
  const bits = i === null || type !== 1 ? null : caps.buttons.mouse?.[i];
  return bits === null || bits === undefined ? list : list.filter((f) => f < 32 && (bits & (1 << f)) !== 0);
}

// Whether the buttons are drawn on the mouse picture: only when the device
// says where at least one of them is.
export function buttonsHavePicture(caps) {
  return caps.buttons.roles.some((r) => r !== '');
}

// Whether assignment b may be written to button i (the device's own lists;
// the byte rules of each type are checked by the device map).
export function assignmentAllowed(caps, i, b) {
  if (!b || !typesFor(caps, i).includes(b.type)) return false;
  if (b.type === 5) return b.p1 < caps.macros.slots && caps.macros.repeat.includes(b.p2);
  if (b.type === 0 || b.type === 2) return true;
  return functionsFor(caps, b.type, i).includes(b.p1);
}

// ---- lighting ---------------------------------------------------------------------

// Effects that use the LED's colour, its speed (classic record) or its
// duration (long record).
export function effectUsesColour(effect) {
  return effect === 1 || effect === 2 || effect === 5 || effect === 7;
}

// Breathing between two colours: the record of 9 bytes holds the second one.
export function effectUsesSecondColour(effect) {
  return effect === 7;
}

// Whether the effect's speed (or duration) means anything: for an LED that
// names its speeds (the record of 9 bytes), only the reactive effect has one.
export function effectMoves(effect, led = null) {
  if (led?.speed) return effect === 5;
  return effect >= 2 && effect <= 5;
}

// What a battery's two bytes (property 67) say: null for no battery or an
// unknown level (nothing is shown then).
export function readBattery(bytes) {
  const level = bytes?.[0];
  const state = bytes?.[1];
  if (!Number.isInteger(level) || level > 100 || !Number.isInteger(state) || state > 3) return null;
  if (level === 0 && state === 0) return null; // a failed read
  return { level, state };
}

// ---- the services that serve real mice (property 65 of SERVICES\) ----------------

// The states that mean real mice cannot be reached, each with what the user
// can do about it; 'running', 'off' and anything unknown say nothing.
export const SERVICE_PROBLEMS = Object.freeze(['absent', 'stopped', 'denied', 'unsupported', 'nobus', 'plugdev', 'nodriver']);

// A device the service serves but the page does not show: a keyboard, another
// device that is no mouse, or one whose settings could not be read.
const NOT_SHOWN_WHY = Object.freeze(['keyboard', 'other', 'unreadable']);

function readNotShown(d) {
  if (!d || typeof d !== 'object' || !NOT_SHOWN_WHY.includes(d.why)) return null;
  return { name: text(d.name, 64), why: d.why, retrying: d.retrying === true };
}

function readService(s) {
  if (!s || typeof s !== 'object' || typeof s.state !== 'string') return null;
  const mice = isInt(s.mice, 0, 100) ? s.mice : 0;
  // A daemon that runs without its kernel driver serves no mouse: that is its problem.
  const state = s.state === 'running' && s.driver === false && mice === 0 ? 'nodriver' : s.state.slice(0, 20);
  return {
    id: text(s.id, 40), service: text(s.service, 40), state,
    api: isInt(s.api, 0, 1000) ? s.api : null, mice,
    notShown: Array.isArray(s.notShown) ? s.notShown.slice(0, 8).map(readNotShown).filter(Boolean) : [],
    // The service failed to start again and again: it is started when the user asks.
    startGivenUp: flag(s.startGivenUp),
    // A device of the service's maker is plugged in (said by services that can tell).
    ...(flag(s.hardware) ? { hardware: true } : {}),
  };
}

// The services the device library names, in its order: [] when it names none
// (a device library without services, or an answer that is no list of them).
export function readServices(bytes) {
  const end = bytes.indexOf(0);
  const raw = Uint8Array.from(end < 0 ? bytes : bytes.slice(0, end));
  if (!raw.length) return [];
  try {
    const list = JSON.parse(new TextDecoder('utf-8', { fatal: true }).decode(raw))?.services;
    return Array.isArray(list) ? list.slice(0, MAX_SERVICES).map(readService).filter(Boolean) : [];
  } catch {
    return [];
  }
}

// ---- the result of the last write (property 66) ----------------------------------

// What the page says for each result a failed write can leave.
export const RESULT_MESSAGES = Object.freeze({
  1: 'error.write.gone',
  2: 'error.write.range',
  4: 'error.write.noAnswer',
  7: 'error.write.busy',
  8: 'error.write.refused',
  9: 'error.write.commit',
  10: 'error.write.denied',
  11: 'error.write.store',
});
