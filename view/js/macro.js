// Macros: the steps the page shows (key down, key up, delay), the recorder's
// "macroItem" events, and the slot bytes the mouse keeps (doc/device-map.md):
//   0: 0x4D, 1-2: event count n (<= 672), 3-31: UTF-8 name NUL-padded,
//   32..: n events of 3 bytes: 1 down / 2 up (scan, ext), 3 delay (lo, hi).
import { truncateUtf8, utf8Decode, utf8Encode } from './bytes.js';
import { MACRO_MAX_EVENTS, MACRO_NAME_BYTES, MACRO_SLOT_SIZE } from './devicemap.js';

export const MARKER = 0x4d;
export const HEADER_SIZE = 32;
export const MAX_DELAY_MS = 600000; // ten minutes: anything longer is surely a mistake
export const DEFAULT_DELAY_MS = 50;
const DAY_MS = 24 * 60 * 60 * 1000;

export function keyStep(kind, scan, ext) {
  return { kind, scan, ext: ext ? 1 : 0 };
}

export function delayStep(ms) {
  return { kind: 'delay', ms };
}

// One "macroItem" event (four texts) as a step, or null for an item that is
// not one. The recorder measures time of day, so a delay across midnight comes
// out negative by one day: the day is added back.
export function stepFromItem(item) {
  if (!Array.isArray(item) || item.length < 4) return null;
  const [kind, a, b, c] = item.map((v) => String(v));
  if (kind === '0') {
    const scan = Number.parseInt(b, 10);
    if (!Number.isInteger(scan) || scan < 1 || scan > 255) return null;
    return keyStep(a === '1' ? 'down' : 'up', scan, c === '1');
  }
  if (kind === '2') {
    const measured = Number.parseInt(a, 10);
    if (!Number.isFinite(measured)) return null;
    const ms = measured < 0 ? measured + DAY_MS : measured;
    return delayStep(Math.min(MAX_DELAY_MS, Math.max(0, ms)));
  }
  return null;
}

// Appends a recorded step, merging consecutive delays.
export function appendStep(steps, step) {
  if (!step) return steps;
  const last = steps[steps.length - 1];
  if (step.kind === 'delay' && last && last.kind === 'delay') {
    last.ms = Math.min(MAX_DELAY_MS, last.ms + step.ms);
    return steps;
  }
  steps.push(step);
  return steps;
}

// A key released that was never pressed in the recording (it was held when
// the recording started) is dropped together with the delay before it, and
// keys still held at the end get their release, so the mouse never leaves a
// key stuck down.
export function tidyRecording(steps) {
  const out = [];
  const held = new Set();
  for (const s of steps) {
    if (s.kind === 'down') held.add(s.scan * 2 + s.ext);
    if (s.kind === 'up') {
      const id = s.scan * 2 + s.ext;
      if (!held.has(id)) {
        if (out.length && out[out.length - 1].kind === 'delay') out.pop();
        continue;
      }
      held.delete(id);
    }
    if (s.kind === 'delay' && out.length === 0) continue; // nothing to wait for yet
    out.push({ ...s });
  }
  while (out.length && out[out.length - 1].kind === 'delay') out.pop();
  for (const id of held) {
    out.push(delayStep(DEFAULT_DELAY_MS));
    out.push(keyStep('up', id >> 1, id & 1));
  }
  return out;
}

// What a recording does with the time between keys: keeps it as recorded,
// drops it, or puts one fixed delay between every two key events.
export const DELAY_CHOICES = ['recorded', 'none', 'fixed'];
export const STOP_KEYS = ['esc', 'none']; // the key that stops a recording (none: the pointer only)
export const ESC = { scan: 0x01, ext: 0 };

export function applyDelayChoice(steps, { delays = 'recorded', fixedMs = DEFAULT_DELAY_MS } = {}) {
  if (delays !== 'none' && delays !== 'fixed') return steps.map((s) => ({ ...s }));
  const out = [];
  for (const s of steps) {
    if (s.kind === 'delay') continue;
    if (out.length && delays === 'fixed') out.push(delayStep(fixedMs));
    out.push({ ...s });
  }
  return out;
}

// The steps before the first press of the key that stopped the recording:
// that press and whatever came after it are not part of the macro.
export function cutAtStopKey(steps, key) {
  const i = steps.findIndex((s) => s.kind === 'down' && s.scan === key.scan && s.ext === key.ext);
  return i < 0 ? steps : steps.slice(0, i);
}

// How many 3-byte events the steps take in the mouse (long delays split).
export function eventCount(steps) {
  let n = 0;
  for (const s of steps) {
    if (s.kind === 'delay') n += s.ms > 0 ? Math.ceil(s.ms / 0xffff) : 0;
    else n += 1;
  }
  return n;
}

// Returns an error key (for i18n) when the macro cannot be stored, or ''.
export function validateMacro(macro) {
  if (!macro || !Array.isArray(macro.steps)) return 'macro.error.empty';
  if (!macro.steps.some((s) => s.kind !== 'delay')) return 'macro.error.empty';
  if (eventCount(macro.steps) > MACRO_MAX_EVENTS) return 'macro.error.tooLong';
  for (const s of macro.steps) {
    if (s.kind === 'delay') {
      if (!Number.isInteger(s.ms) || s.ms < 0 || s.ms > MAX_DELAY_MS) return 'macro.error.delay';
    } else if (s.kind === 'down' || s.kind === 'up') {
      if (!Number.isInteger(s.scan) || s.scan < 1 || s.scan > 255 || (s.ext !== 0 && s.ext !== 1)) return 'macro.error.key';
    } else {
      return 'macro.error.key';
    }
  }
  return '';
}

// The slot bytes for a macro (32 + 3n bytes; the rest of the slot is cleared
// before writing).
export function encodeMacro(macro) {
  const err = validateMacro(macro);
  if (err) throw new RangeError(err);
  const events = [];
  for (const s of macro.steps) {
    if (s.kind === 'delay') {
      let left = s.ms;
      while (left > 0) {
        const part = Math.min(left, 0xffff);
        events.push(3, part & 0xff, part >> 8);
        left -= part;
      }
    } else {
      events.push(s.kind === 'down' ? 1 : 2, s.scan, s.ext);
    }
  }
  const n = events.length / 3;
  const name = utf8Encode(truncateUtf8(macro.name ?? '', MACRO_NAME_BYTES));
  const header = new Array(HEADER_SIZE).fill(0);
  header[0] = MARKER;
  header[1] = n & 0xff;
  header[2] = n >> 8;
  name.forEach((b, i) => { header[3 + i] = b; });
  const out = header.concat(events);
  if (out.length > MACRO_SLOT_SIZE) throw new RangeError('macro.error.tooLong');
  return out;
}

// Reads slot bytes back: null for an empty slot, throws for bytes that are
// not a macro.
export function decodeMacro(bytes) {
  if (bytes.every((b) => b === 0)) return null;
  if (bytes[0] !== MARKER) throw new RangeError('no macro marker');
  const n = bytes[1] | (bytes[2] << 8);
  if (n > MACRO_MAX_EVENTS || HEADER_SIZE + 3 * n > bytes.length) throw new RangeError('bad event count');
  const nameBytes = bytes.slice(3, 3 + MACRO_NAME_BYTES);
  const end = nameBytes.indexOf(0);
  const name = utf8Decode(end < 0 ? nameBytes : nameBytes.slice(0, end));
  const steps = [];
  for (let i = 0; i < n; i++) {
    const [type, a, b] = bytes.slice(HEADER_SIZE + 3 * i, HEADER_SIZE + 3 * i + 3);
    if (type === 1 || type === 2) steps.push(keyStep(type === 1 ? 'down' : 'up', a, b));
    else if (type === 3) appendStep(steps, delayStep(a | (b << 8)));
    else throw new RangeError(`bad event type ${type}`);
  }
  return { name, steps };
}

// Editing helpers: each returns a new step list.
export function setDelay(steps, index, ms) {
  const v = Math.round(Number(ms));
  if (!Number.isFinite(v) || v < 0 || v > MAX_DELAY_MS) throw new RangeError('macro.error.delay');
  return steps.map((s, i) => (i === index && s.kind === 'delay' ? { ...s, ms: v } : s));
}

export function removeStep(steps, index) {
  return steps.filter((_, i) => i !== index);
}

// Inserts a key press (down, delay, up) or a delay before position index.
export function insertKeyPress(steps, index, scan, ext) {
  const add = [keyStep('down', scan, ext), delayStep(DEFAULT_DELAY_MS), keyStep('up', scan, ext)];
  const out = steps.slice();
  out.splice(index, 0, ...add);
  return out;
}

export function insertDelay(steps, index, ms = DEFAULT_DELAY_MS) {
  const out = steps.slice();
  out.splice(index, 0, delayStep(ms));
  return out;
}

export function totalDuration(steps) {
  return steps.reduce((t, s) => t + (s.kind === 'delay' ? s.ms : 0), 0);
}

// The most times the mouse repeats a macro ("a number of times").
export const MAX_REPEAT_COUNT = 255;

// A typed number of repeats, rounded into what the mouse plays (1 to 255); null
// for an emptied field or one without a number, which keeps the count it had
// (it used to become 1).
export function readRepeatCount(text) {
  const s = String(text ?? '').trim();
  const n = s === '' ? NaN : Number(s);
  if (!Number.isFinite(n)) return null;
  return Math.min(MAX_REPEAT_COUNT, Math.max(1, Math.round(n)));
}
