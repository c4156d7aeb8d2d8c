// What the page and the mouse agree on (doc/device-map.md): property numbers
// and sizes, how each property's bytes map to settings, button assignments,
// lighting and the macro slots in the onboard memory.
import { hexToRgb, rgbToHex, u16le, putU16le } from './bytes.js';

export const PRODUCT_HARDWARE_PREFIX = 'HID\\Vid_0aa0&Pid_5e30';

export const PROP = Object.freeze({
  STAGE_COUNT: 1,
  ACTIVE_STAGE: 2,
  STAGE_DPI: 3,
  STAGE_COLOUR: 4,
  POLLING: 5,
  LIFT_OFF: 6,
  BUTTONS: 7,
  LIGHTING: 8,
  ANGLE_SNAP: 9,
  DEBOUNCE: 10,
  MOTION_SYNC: 11,
});

export const PROP_SIZE = Object.freeze({
  1: 1, 2: 1, 3: 16, 4: 24, 5: 1, 6: 1, 7: 32, 8: 6, 9: 1, 10: 1, 11: 1,
});

export const MAX_STAGES = 8;
export const DPI_MIN = 100;
export const DPI_MAX = 26000;
export const DPI_STEP = 50;
export const DEBOUNCE_MIN = 2;
export const DEBOUNCE_MAX = 16;
export const POLLING_RATES = Object.freeze([
  { value: 1, hz: 125 }, { value: 2, hz: 250 }, { value: 3, hz: 500 }, { value: 4, hz: 1000 },
]);
export const LIFT_OFF = Object.freeze([1, 2, 3]);

export const BUTTON_COUNT = 8;
// Button index → i18n key of its name.
export const BUTTON_NAMES = Object.freeze([
  'button.left', 'button.right', 'button.middle', 'button.back',
  'button.forward', 'button.dpiUp', 'button.dpiDown', 'button.profile',
]);

export const ACTION = Object.freeze({
  DISABLED: 0, MOUSE: 1, KEY: 2, DPI: 3, PROFILE: 4, MACRO: 5, MEDIA: 6,
  // Beyond the classic mouse (doc/device-map.md, real mice): a mouse button
  // by number, another device function, and what the page cannot show (kept).
  BUTTON: 7, OTHER: 8, KEEP: 255,
});
export const MOUSE_FUNCTIONS = Object.freeze([1, 2, 3, 4, 5, 6, 7, 8]);
export const DPI_FUNCTIONS = Object.freeze([1, 2, 3, 4, 5]);
export const PROFILE_FUNCTIONS = Object.freeze([1, 2]);
export const MEDIA_FUNCTIONS = Object.freeze([1, 2, 3, 4, 5, 6]);
export const MODIFIER = Object.freeze({ CTRL: 1, SHIFT: 2, ALT: 4, WIN: 8 });
export const REPEAT = Object.freeze({ ONCE: 0, WHILE_HELD: 1, TOGGLE: 2, COUNT: 3 });

export const EFFECT = Object.freeze({
  OFF: 0, STATIC: 1, BREATHING: 2, SPECTRUM: 3, WAVE: 4, REACTIVE: 5, DPI_COLOUR: 6,
});
export const EFFECTS = Object.freeze([0, 1, 2, 3, 4, 5, 6]);
export function effectUsesColour(effect) {
  return effect === 1 || effect === 2 || effect === 5;
}
export function effectUsesSpeed(effect) {
  return effect >= 2 && effect <= 5;
}

export const MACRO_SLOTS = 8;
export const MACRO_BASE = 0x1000;
export const MACRO_SLOT_SIZE = 0x800;
export const MACRO_MAX_EVENTS = 672;
export const MACRO_NAME_BYTES = 29;

export function macroSlotAddress(slot) {
  if (!Number.isInteger(slot) || slot < 0 || slot >= MACRO_SLOTS) throw new RangeError(`macro slot ${slot}`);
  return MACRO_BASE + slot * MACRO_SLOT_SIZE;
}

// Factory values, the same the mouse starts with.
export const FACTORY_STAGE_DPI = Object.freeze([400, 800, 1600, 3200, 6400, 12000, 16000, 26000]);
export const FACTORY_STAGE_COLOURS = Object.freeze([
  '#ff0000', '#00ff00', '#0000ff', '#ffff00', '#ff00ff', '#00ffff', '#ffffff', '#ff8000',
]);
export const FACTORY_BUTTONS = Object.freeze([
  [1, 1, 0, 0], [1, 2, 0, 0], [1, 3, 0, 0], [1, 4, 0, 0],
  [1, 5, 0, 0], [3, 3, 0, 0], [3, 4, 0, 0], [4, 1, 0, 0],
]);

export function factoryPerformance() {
  return {
    stageCount: 5,
    activeStage: 1,
    stages: FACTORY_STAGE_DPI.map((dpi, i) => ({ dpi, color: FACTORY_STAGE_COLOURS[i] })),
    pollingRate: 4,
    liftOff: 2,
    angleSnap: 0,
    debounce: 4,
    motionSync: 1,
  };
}

export function factoryButtons() {
  return FACTORY_BUTTONS.map(([type, p1, p2, p3]) => ({ type, p1, p2, p3 }));
}

export function factoryLighting() {
  return { effect: 2, color: '#39a7da', brightness: 80, speed: 5 };
}

export function clampDpi(value) {
  const n = Math.round(Number(value) / DPI_STEP) * DPI_STEP;
  if (!Number.isFinite(n)) return DPI_MIN;
  return Math.min(DPI_MAX, Math.max(DPI_MIN, n));
}

// A DPI typed by the user: null when the field holds no number (the stage
// keeps its value), else the value the mouse takes and why it differs from
// what was typed ('' when it does not; 'min', 'max' or 'step').
export function readDpiEntry(text) {
  const s = String(text ?? '').trim();
  const asked = s === '' ? NaN : Number(s);
  if (!Number.isFinite(asked)) return null;
  const value = clampDpi(asked);
  let reason = '';
  if (asked < DPI_MIN) reason = 'min';
  else if (asked > DPI_MAX) reason = 'max';
  else if (value !== asked) reason = 'step';
  return { asked, value, reason };
}

// The DPI slider is logarithmic: equal distances are equal ratios, so the
// range most people use (400 to 3200) gets as much room as everything above.
export const DPI_SLIDER_POSITIONS = 10000;

export function dpiFromSliderPosition(position) {
  const f = Math.min(1, Math.max(0, Number(position) / DPI_SLIDER_POSITIONS));
  return clampDpi(DPI_MIN * (DPI_MAX / DPI_MIN) ** f);
}

export function sliderPositionFromDpi(dpi) {
  const v = Math.min(DPI_MAX, Math.max(DPI_MIN, Number(dpi) || DPI_MIN));
  return Math.round((DPI_SLIDER_POSITIONS * Math.log(v / DPI_MIN)) / Math.log(DPI_MAX / DPI_MIN));
}

// The DPI a key moves to from dpi: the arrows go one step, the page keys ten,
// Home and End to the ends; null for other keys.
export function dpiAfterKey(dpi, key) {
  const by = { ArrowRight: 1, ArrowUp: 1, ArrowLeft: -1, ArrowDown: -1, PageUp: 10, PageDown: -10 }[key];
  if (by !== undefined) return clampDpi(clampDpi(dpi) + by * DPI_STEP);
  if (key === 'Home') return DPI_MIN;
  if (key === 'End') return DPI_MAX;
  return null;
}

// ---- property bytes <-> settings -------------------------------------------------

export function encodeStageDpi(stages) {
  const out = new Array(16).fill(0);
  for (let i = 0; i < MAX_STAGES; i++) {
    const dpi = stages[i] ? clampDpi(stages[i].dpi) : FACTORY_STAGE_DPI[i];
    putU16le(out, i * 2, dpi);
  }
  return out;
}

export function decodeStageDpi(bytes) {
  const out = [];
  for (let i = 0; i < MAX_STAGES; i++) out.push(u16le(bytes, i * 2));
  return out;
}

export function encodeStageColours(stages) {
  const out = [];
  for (let i = 0; i < MAX_STAGES; i++) {
    out.push(...hexToRgb(stages[i] ? stages[i].color : FACTORY_STAGE_COLOURS[i]));
  }
  return out;
}

export function decodeStageColours(bytes) {
  const out = [];
  for (let i = 0; i < MAX_STAGES; i++) {
    out.push(rgbToHex(bytes[i * 3] ?? 0, bytes[i * 3 + 1] ?? 0, bytes[i * 3 + 2] ?? 0));
  }
  return out;
}

export function encodeButtons(buttons) {
  const out = [];
  for (let i = 0; i < BUTTON_COUNT; i++) {
    const b = buttons[i] ?? { type: 0, p1: 0, p2: 0, p3: 0 };
    const err = validateAssignment(b);
    if (err) throw new RangeError(`button ${i}: ${err}`);
    out.push(b.type, b.p1, b.p2, b.p3);
  }
  return out;
}

export function decodeButtons(bytes) {
  const out = [];
  for (let i = 0; i < BUTTON_COUNT; i++) {
    const [type, p1, p2, p3] = [0, 1, 2, 3].map((k) => bytes[i * 4 + k] ?? 0);
    out.push({ type, p1, p2, p3 });
  }
  return out;
}

// Returns an error text for an assignment the mouse would refuse, or ''.
export function validateAssignment(b) {
  const inRange = (v, lo, hi) => Number.isInteger(v) && v >= lo && v <= hi;
  if (!b || ![b.type, b.p1, b.p2, b.p3].every((v) => inRange(v, 0, 255))) return 'not four bytes';
  switch (b.type) {
    case ACTION.DISABLED: return b.p1 || b.p2 || b.p3 ? 'disabled takes no parameters' : '';
    case ACTION.MOUSE: return MOUSE_FUNCTIONS.includes(b.p1) ? '' : 'unknown mouse function';
    case ACTION.KEY:
      if (b.p1 > 15) return 'unknown modifiers';
      if (!inRange(b.p2, 1, 127)) return 'scan code out of range';
      return b.p3 <= 1 ? '' : 'extended flag must be 0 or 1';
    case ACTION.DPI: return DPI_FUNCTIONS.includes(b.p1) ? '' : 'unknown DPI function';
    case ACTION.PROFILE: return PROFILE_FUNCTIONS.includes(b.p1) ? '' : 'unknown profile function';
    case ACTION.MACRO:
      if (!inRange(b.p1, 0, MACRO_SLOTS - 1)) return 'macro slot out of range';
      if (!inRange(b.p2, 0, 3)) return 'unknown repeat mode';
      if (b.p2 === REPEAT.COUNT && !inRange(b.p3, 1, 255)) return 'repeat count out of range';
      return '';
    case ACTION.MEDIA: return MEDIA_FUNCTIONS.includes(b.p1) ? '' : 'unknown media function';
    default: return 'unknown type';
  }
}

export function encodeLighting(l) {
  return [l.effect, ...hexToRgb(l.color), l.brightness, l.speed];
}

export function decodeLighting(bytes) {
  return {
    effect: bytes[0] ?? 0,
    color: rgbToHex(bytes[1] ?? 0, bytes[2] ?? 0, bytes[3] ?? 0),
    brightness: bytes[4] ?? 0,
    speed: bytes[5] ?? 1,
  };
}

// A data report ("onDeviceData": 16 hex digits) as an object, or null when
// the text is not a report the page knows. tag (byte 7) names the device
// that sent it (the description's tag).
export function parseDataReport(hex) {
  if (typeof hex !== 'string' || !/^[0-9a-f]{16}$/i.test(hex)) return null;
  const b = [];
  for (let i = 0; i < 16; i += 2) b.push(parseInt(hex.slice(i, i + 2), 16));
  const tag = b[7];
  switch (b[0]) {
    case 1: return { kind: 'stage', stage: b[1], dpi: u16le(b, 2), tag };
    case 2: return { kind: 'mode', direction: b[1] === 2 ? -1 : 1, tag };
    case 3: return { kind: 'button', button: b[1], tag };
    case 4: return { kind: 'lighting', effect: b[1], tag };
    case 5: return { kind: 'resync', tag };
    case 6: return { kind: 'profile', profile: b[1], tag };
    default: return null;
  }
}

// The mice (not boot loaders) among the devices getDevicesList reported, in
// the order listed, and the first boot loader.
export function pickMice(devices) {
  if (!Array.isArray(devices)) return { mice: [], bootLoader: null };
  const mice = devices.filter((d) => d && typeof d === 'object' && d.MASK === '01' && typeof d.HardwareID === 'string' && d.HardwareID);
  const bootLoader = devices.find((d) => d && d.MASK === '00') ?? null;
  return { mice, bootLoader };
}
