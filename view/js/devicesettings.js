// A device's settings as the page keeps them, for any device its description
// (caps.js) describes: property bytes <-> settings, the size of each
// property, which values the device takes, and the writes that bring the
// device from what it holds to what a mode says.
//
// Settings: { performance, buttons, lighting }.
//   performance: stageCount, activeStage, stages [{ dpi, color? }] (as many
//     as the device may have), pollingRate, liftOff, angleSnap, debounce,
//     motionSync, defaultStage, disabledStages (bit n: stage n not in use):
//     each present when the device has it.
//   buttons: one { type, p1, p2, p3 } per button.
//   lighting: the classic mouse's one object { effect, color, brightness,
//     speed }, or for other devices a list with one object per LED, which
//     also has duration (milliseconds), or a second colour (color2: the record
//     of 9 bytes, for breathing between two colours).
import { hexToRgb, putU16le, rgbToHex, u16le } from './bytes.js';
import { assignmentAllowed, dpiAllowed, fitsClassicLayout, functionsFor, has, typesFor } from './caps.js';
import { FACTORY_STAGE_COLOURS, factoryButtons } from './devicemap.js';

export const PROP_ACTIVE_PROFILE = 14;
export const PROP_ENABLED_PROFILES = 15;
export const PROP_PROFILE_NAMES = 16;
export const PROP_DEFAULT_STAGE = 12;
export const PROP_DISABLED_STAGES = 13;

// The properties that hold a mode's settings.
const MODE_PROPS = [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13];
const ONE_BYTE = { 1: 'stageCount', 2: 'activeStage', 5: 'pollingRate', 6: 'liftOff', 9: 'angleSnap', 10: 'debounce', 11: 'motionSync', 12: 'defaultStage' };

// The number of bytes of property id on this device.
export function propSize(caps, id) {
  switch (id) {
    case 3: return 2 * caps.stages.max;
    case 4: return 3 * caps.stages.max;
    case 7: return 4 * caps.buttons.count;
    case 8: return caps.lighting.record * caps.lighting.leds.length;
    case 13: case 15: return 2;
    case 16: return PROFILE_NAME_RECORD * caps.profiles.count;
    default: return 1;
  }
}

// The properties that hold mode settings on this device.
export function modeProps(caps) {
  return MODE_PROPS.filter((id) => has(caps, id) && propSize(caps, id) > 0);
}

export function ledsOf(lighting) {
  return Array.isArray(lighting) ? lighting : [lighting];
}

// Settings from the bytes of the device's properties ({ id: bytes }).
export function decodeSettings(caps, props) {
  const one = (id) => props[id]?.[0] ?? 0;
  const perf = {};
  const count = has(caps, 1) ? one(1) : caps.stages.max;
  perf.stageCount = count;
  perf.activeStage = has(caps, 2) ? Math.min(one(2), Math.max(0, count - 1)) : 0;
  perf.stages = Array.from({ length: caps.stages.max }, (_, i) => {
    const s = { dpi: u16le(props[3] ?? [], i * 2) };
    if (caps.stages.colours) {
      const c = props[4] ?? [];
      s.color = rgbToHex(c[i * 3] ?? 0, c[i * 3 + 1] ?? 0, c[i * 3 + 2] ?? 0);
    }
    return s;
  });
  for (const id of [5, 6, 9, 10, 11, 12]) if (has(caps, id)) perf[ONE_BYTE[id]] = one(id);
  if (caps.stages.disable) perf.disabledStages = u16le(props[13] ?? [], 0);
  const b = props[7] ?? [];
  const buttons = Array.from({ length: caps.buttons.count }, (_, i) => ({ type: b[i * 4] ?? 0, p1: b[i * 4 + 1] ?? 0, p2: b[i * 4 + 2] ?? 0, p3: b[i * 4 + 3] ?? 0 }));
  const l = props[8] ?? [];
  const rec = caps.lighting.record;
  const leds = caps.lighting.leds.map((_, i) => {
    const r = l.slice(i * rec, i * rec + rec);
    const led = { effect: r[0] ?? 0, color: rgbToHex(r[1] ?? 0, r[2] ?? 0, r[3] ?? 0), brightness: r[4] ?? 0, speed: r[5] ?? 1 };
    if (rec === 8) led.duration = u16le(r, 6);
    if (rec === 9) led.color2 = rgbToHex(r[6] ?? 0, r[7] ?? 0, r[8] ?? 0);
    return led;
  });
  const lighting = fitsClassicLayout(caps) ? leds[0] : leds;
  return { performance: perf, buttons, lighting };
}

// The bytes of property id from settings.
export function encodeProp(caps, s, id) {
  const p = s.performance;
  if (ONE_BYTE[id]) return [p[ONE_BYTE[id]] ?? 0];
  switch (id) {
    case 13: return [(p.disabledStages ?? 0) & 0xff, ((p.disabledStages ?? 0) >> 8) & 0xff];
    case 3: {
      const out = new Array(2 * caps.stages.max).fill(0);
      for (let i = 0; i < caps.stages.max; i++) putU16le(out, i * 2, Math.min(65535, Math.max(0, p.stages[i]?.dpi ?? 0)));
      return out;
    }
    case 4: return Array.from({ length: caps.stages.max }, (_, i) => hexToRgb(p.stages[i]?.color ?? FACTORY_STAGE_COLOURS[i % 8])).flat();
    case 7: return Array.from({ length: caps.buttons.count }, (_, i) => {
      const b = s.buttons[i] ?? { type: 255, p1: 0, p2: 0, p3: 0 };
      return [b.type, b.p1, b.p2, b.p3];
    }).flat();
    case 8: {
      const leds = ledsOf(s.lighting);
      return caps.lighting.leds.map((_, i) => {
        const l = leds[i];
        const rec = [l.effect, ...hexToRgb(l.color), l.brightness, l.speed ?? 1];
        if (caps.lighting.record === 8) rec.push(l.duration & 0xff, (l.duration >> 8) & 0xff);
        if (caps.lighting.record === 9) rec.push(...hexToRgb(l.color2 ?? '#000000'));
        return rec;
      }).flat();
    }
    default: throw new RangeError(`property ${id}`);
  }
}

// The property writes that bring a device holding `live` to `want`: only
// what differs, and the active stage before a smaller stage count and after
// a larger one, so the device never sees an active stage past the count.
// Without live (not known) everything is written, the active stage first
// set to 0, which any count allows. A fixed stage count is never written.
export function applyOrder(caps, want, live = null) {
  const out = [];
  const add = (id) => {
    if (!has(caps, id)) return;
    const bytes = encodeProp(caps, want, id);
    if (!live || bytes.join(',') !== encodeProp(caps, live, id).join(',')) out.push([id, bytes]);
  };
  const count = () => { if (caps.stages.min !== caps.stages.max) add(1); };
  add(3);
  add(4);
  if (!live) {
    if (has(caps, 2)) out.push([2, [0]]);
    count();
    add(2);
  } else if (want.performance.stageCount < live.performance.stageCount) {
    add(2);
    count();
  } else {
    count();
    add(2);
  }
  // Disabled stages only where the device can disable them (others answer 0).
  if (caps.stages.disable) add(13);
  for (const id of [12, 5, 6, 9, 10, 11, 7, 8]) add(id);
  return out;
}

// A plain assignment button i takes: the classic mouse's factory assignment;
// on other devices the mouse button of its own number where the device
// offers it, else the first thing the button may do. caps null: a device not
// known now (its button number). Only where nothing better is known: a
// described mouse's buttons go back to what they held when first seen
// (ModesController.buttonDefault).
export function defaultAssignment(caps, i) {
  const make = (type, p1) => ({ type, p1, p2: 0, p3: 0 });
  if (caps && fitsClassicLayout(caps)) return { ...factoryButtons()[i] };
  const own = i + 1 <= 5 ? make(1, i + 1) : make(7, i + 1);
  if (!caps || assignmentValid(caps, i, own)) return own;
  if (assignmentValid(caps, i, make(7, i + 1))) return make(7, i + 1);
  for (const type of typesFor(caps, i)) {
    const f = functionsFor(caps, type, i)[0];
    if (f !== undefined) return make(type, f);
  }
  return make(255, 0);
}

// Whether assignment b is one the device takes on button i (its types and
// functions, and the byte rules of keys and macros).
export function assignmentValid(caps, i, b) {
  const byte = (v) => Number.isInteger(v) && v >= 0 && v <= 255;
  if (!b || ![b.type, b.p1, b.p2, b.p3].every(byte)) return false;
  if (b.type === 255) return true; // the device holds something the page cannot show: kept
  if (!assignmentAllowed(caps, i, b)) return false;
  switch (b.type) {
    case 0: return !b.p1 && !b.p2 && !b.p3;
    case 2: return b.p1 <= 15 && b.p2 >= 1 && b.p2 <= 127 && b.p3 <= 1;
    case 5: return b.p2 !== 3 || b.p3 >= 1;
    default: return true;
  }
}

// Makes settings (a mode's, for this device) hold only values the device
// takes: a value it does not offer becomes what the device holds (live).
// Lists are brought to the device's length. Returns whether anything changed.
export function fitSettings(caps, s, live) {
  let changed = false;
  const set = (obj, key, value) => {
    if (obj[key] !== value) { obj[key] = value; changed = true; }
  };
  const p = s.performance;
  const lp = live.performance;
  if (!(p.stageCount >= caps.stages.min && p.stageCount <= caps.stages.max)) set(p, 'stageCount', lp.stageCount);
  if (!Array.isArray(p.stages)) { p.stages = []; changed = true; }
  if (p.stages.length !== caps.stages.max) {
    p.stages = Array.from({ length: caps.stages.max }, (_, i) => p.stages[i] ?? structuredClone(lp.stages[i]));
    changed = true;
  }
  p.stages.forEach((st, i) => {
    if (!dpiAllowed(caps, st.dpi)) set(st, 'dpi', lp.stages[i].dpi);
    if (caps.stages.colours && !/^#[0-9a-f]{6}$/.test(st.color ?? '')) set(st, 'color', lp.stages[i].color);
  });
  if (!(p.activeStage >= 0 && p.activeStage < p.stageCount)) set(p, 'activeStage', Math.min(lp.activeStage, p.stageCount - 1));
  const inList = (key, list) => { if (key in lp && !list.includes(p[key])) set(p, key, lp[key]); };
  inList('pollingRate', caps.reportRates.map((r) => r.value));
  inList('liftOff', caps.liftOff);
  inList('angleSnap', [0, 1]);
  inList('debounce', caps.debounce);
  inList('motionSync', [0, 1]);
  if ('defaultStage' in lp && !(p.defaultStage >= 0 && p.defaultStage < p.stageCount)) set(p, 'defaultStage', lp.defaultStage);
  // No disabled stage past the count, and never the active one.
  if ('disabledStages' in lp && !(Number.isInteger(p.disabledStages) && p.disabledStages >= 0 && p.disabledStages < (1 << p.stageCount)
    && !(p.disabledStages & (1 << p.activeStage)))) set(p, 'disabledStages', lp.disabledStages);
  for (const key of Object.keys(p)) if (!(key in lp)) { delete p[key]; changed = true; }
  if (!Array.isArray(s.buttons) || s.buttons.length !== caps.buttons.count) {
    s.buttons = Array.from({ length: caps.buttons.count }, (_, i) => (s.buttons ?? [])[i] ?? structuredClone(live.buttons[i]));
    changed = true;
  }
  s.buttons.forEach((b, i) => {
    if (!assignmentValid(caps, i, b)) { s.buttons[i] = structuredClone(live.buttons[i]); changed = true; }
  });
  if (Array.isArray(live.lighting) !== Array.isArray(s.lighting) || ledsOf(s.lighting).length !== ledsOf(live.lighting).length) {
    s.lighting = structuredClone(live.lighting);
    changed = true;
  }
  const liveLeds = ledsOf(live.lighting);
  ledsOf(s.lighting).forEach((l, i) => {
    const c = caps.lighting.leds[i];
    if (!c.effects.includes(l.effect) && l.effect !== 255) set(l, 'effect', liveLeds[i].effect);
    if (!/^#[0-9a-f]{6}$/.test(l.color)) set(l, 'color', liveLeds[i].color);
    if (!(l.brightness >= 0 && l.brightness <= 100)) set(l, 'brightness', liveLeds[i].brightness);
    const [sMin, sMax] = c.speed ?? [1, 10];
    if (!(l.speed >= sMin && l.speed <= sMax) && (!c.speed || l.effect === 5)) set(l, 'speed', liveLeds[i].speed);
    if (caps.lighting.record === 9 && !/^#[0-9a-f]{6}$/.test(l.color2 ?? '')) set(l, 'color2', liveLeds[i].color2);
    if (caps.lighting.record === 8) {
      const [lo, hi] = c.duration ?? [0, 0];
      if (!(Number.isInteger(l.duration) && l.duration >= lo && l.duration <= hi)) set(l, 'duration', liveLeds[i].duration);
    }
  });
  return changed;
}

// The onboard profiles: which one is active, which are enabled, and their
// names where the device has them ('' for one without).
export function decodeOnboard(caps, props) {
  if (caps.profiles.count <= 1 || !has(caps, PROP_ACTIVE_PROFILE)) return null;
  const bits = has(caps, PROP_ENABLED_PROFILES) ? u16le(props[PROP_ENABLED_PROFILES] ?? [], 0) : 0xffff;
  return {
    active: Math.min(props[PROP_ACTIVE_PROFILE]?.[0] ?? 0, caps.profiles.count - 1),
    enabled: Array.from({ length: caps.profiles.count }, (_, i) => (bits & (1 << i)) !== 0),
    names: Array.from({ length: caps.profiles.count }, (_, i) => (caps.profiles.names ? decodeName(props[PROP_PROFILE_NAMES] ?? [], i) : '')),
  };
}

// Property 16: one 64-byte record per onboard profile, its name in UTF-8 with
// NUL bytes after it.
export const PROFILE_NAME_RECORD = 64;

function decodeName(bytes, i) {
  const record = bytes.slice(i * PROFILE_NAME_RECORD, (i + 1) * PROFILE_NAME_RECORD);
  const end = record.indexOf(0);
  try {
    return new TextDecoder('utf-8', { fatal: true }).decode(Uint8Array.from(end < 0 ? record : record.slice(0, end)));
  } catch {
    return '';
  }
}

// The records of property 16 for names: each cut to the whole characters that
// fit in 63 bytes.
export function encodeNames(names) {
  const out = [];
  for (const name of names) {
    let bytes = new TextEncoder().encode(name);
    for (let cut = name.length; bytes.length > PROFILE_NAME_RECORD - 1; cut--) bytes = new TextEncoder().encode([...name].slice(0, cut).join(''));
    out.push(...bytes, ...new Array(PROFILE_NAME_RECORD - bytes.length).fill(0));
  }
  return out;
}
