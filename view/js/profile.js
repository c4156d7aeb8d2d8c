// The mode document (view/xml/configuration.xml) as the page keeps it:
//
// <conf>
//   <modeSetting current="0" device="">             (device: the mouse chosen among several)
//     <modes>
//       <mode index="0" name="Default" bindingProcess="">
//         <performance stageCount="5" activeStage="1" pollingRate="4" liftOff="2"
//                      angleSnap="0" debounce="4" motionSync="1">
//           <stage index="0" dpi="400" color="#ff0000"/>  (8 stages)
//         </performance>
//         <buttons><button index="0" type="1" p1="1" p2="0" p3="0"/> (8)</buttons>
//         <lighting effect="2" color="#39a7da" brightness="80" speed="5"/>
//       </mode>
//     </modes>
//   </modeSetting>
//   <macros recordDelays="recorded" recordFixedMs="50" recordStopKey="esc">
//     <macro slot="0" name="..." repeat="0" count="1">
//       <step kind="down|up" code="30" ext="0"/> <step kind="delay" ms="50"/>
//     </macro>
//   </macros>
//   <system pointerSpeed="" scrollLines="" doubleClick=""/>
// </conf>
//
// A device whose settings are not laid out as the classic mouse's (see
// fitsClassicLayout in caps.js) keeps them in a section of each mode, named
// by its hardware ID and its shape (shapeOf in caps.js; documents written
// before have no shape), with as many stages, buttons and LEDs as it has. A
// device of another shape under the same hardware ID gets a section of its
// own: the settings kept for the first are never fitted to it.
//
//       <device id="RATBAG\usb&amp;Vid_046d&amp;Pid_c539&amp;Rev_0" shape="0a1b2c3d">
//         <performance stageCount="3" activeStage="0" pollingRate="4" defaultStage="0">
//           <stage index="0" dpi="800"/>
//         </performance>
//         <buttons><button index="0" type="1" p1="1" p2="0" p3="0"/></buttons>
//         <lighting><led index="0" effect="1" color="#ff0000" brightness="100" speed="5" duration="1000"/></lighting>
//       </device>
//
// What each such device held when the page first saw it (the settings a
// screen's reset and "Restore the default" bring back), in the same form:
//
//   <firstSeen><device id="..." shape="...">...</device></firstSeen>
//
// Reading is forgiving: a missing or out-of-range value takes the factory
// value and the model is marked repaired, so a hand-edited or older document
// never sends the mouse a value it would refuse.
import {
  ACTION, BUTTON_COUNT, DEBOUNCE_MAX, DEBOUNCE_MIN, LIFT_OFF, MACRO_SLOTS, MAX_STAGES, REPEAT,
  clampDpi, factoryButtons, factoryLighting, factoryPerformance, validateAssignment,
} from './devicemap.js';
import { isHexColour } from './bytes.js';
import { DEFAULT_DELAY_MS, DELAY_CHOICES, MAX_DELAY_MS, STOP_KEYS, validateMacro } from './macro.js';
import { child, childrenNamed, el, parseXml, serialize, xpathLiteral } from './xml.js';

export const PROFILE_PATH = 'view/xml/configuration.xml';
export const FACTORY_PATH = 'Resources/profiles/configuration.xml';
export const MODES_XPATH = '/conf/modeSetting/modes';

export function modeXpath(index) {
  return `${MODES_XPATH}/mode[@index=${xpathLiteral(index)}]`;
}

function intIn(text, lo, hi, fallback, flag) {
  const v = Number(text);
  if (text === undefined || text === '' || !Number.isInteger(v) || v < lo || v > hi) {
    flag.repaired = true;
    return fallback;
  }
  return v;
}

// The system mouse settings the page sets: pointer speed and wheel lines as
// the desktop takes them, the double-click time as a position in its table.
export const SYSTEM_RANGES = { pointerSpeed: [1, 20], scrollLines: [1, 20], doubleClick: [0, 11] };

// A system setting the page last set, or '' (never). A value the page could
// not have set is taken as never set: shown as the slider's default, not as a
// number the slider cannot hold.
function systemValue(text, [lo, hi], flag) {
  if (text === undefined || text === '') return '';
  const v = intIn(text, lo, hi, '', flag);
  return v === '' ? '' : String(v);
}

function colourOr(text, fallback, flag) {
  if (isHexColour(text)) return text.toLowerCase();
  flag.repaired = true;
  return fallback;
}

function readPerformance(node, flag) {
  const f = factoryPerformance();
  if (!node) { flag.repaired = true; return f; }
  const a = node.attrs;
  const p = {
    stageCount: intIn(a.stageCount, 1, MAX_STAGES, f.stageCount, flag),
    activeStage: 0,
    stages: f.stages.map((s) => ({ ...s })),
    pollingRate: intIn(a.pollingRate, 1, 4, f.pollingRate, flag),
    liftOff: intIn(a.liftOff, LIFT_OFF[0], LIFT_OFF[LIFT_OFF.length - 1], f.liftOff, flag),
    angleSnap: intIn(a.angleSnap, 0, 1, f.angleSnap, flag),
    debounce: intIn(a.debounce, DEBOUNCE_MIN, DEBOUNCE_MAX, f.debounce, flag),
    motionSync: intIn(a.motionSync, 0, 1, f.motionSync, flag),
  };
  p.activeStage = intIn(a.activeStage, 0, p.stageCount - 1, Math.min(f.activeStage, p.stageCount - 1), flag);
  const seen = new Set();
  for (const s of childrenNamed(node, 'stage')) {
    const i = Number(s.attrs.index);
    if (!Number.isInteger(i) || i < 0 || i >= MAX_STAGES || seen.has(i)) { flag.repaired = true; continue; }
    seen.add(i);
    const dpiRaw = Number(s.attrs.dpi);
    const dpi = clampDpi(dpiRaw);
    if (dpi !== dpiRaw) flag.repaired = true;
    p.stages[i] = { dpi, color: colourOr(s.attrs.color, f.stages[i].color, flag) };
  }
  if (seen.size !== MAX_STAGES) flag.repaired = true;
  return p;
}

function readButtons(node, flag) {
  const out = factoryButtons();
  if (!node) { flag.repaired = true; return out; }
  const seen = new Set();
  for (const b of childrenNamed(node, 'button')) {
    const i = Number(b.attrs.index);
    if (!Number.isInteger(i) || i < 0 || i >= BUTTON_COUNT || seen.has(i)) { flag.repaired = true; continue; }
    const v = { type: Number(b.attrs.type), p1: Number(b.attrs.p1), p2: Number(b.attrs.p2), p3: Number(b.attrs.p3) };
    if (validateAssignment(v)) { flag.repaired = true; continue; }
    seen.add(i);
    out[i] = v;
  }
  if (seen.size !== BUTTON_COUNT) flag.repaired = true;
  return out;
}

function readLighting(node, flag) {
  const f = factoryLighting();
  if (!node) { flag.repaired = true; return f; }
  const a = node.attrs;
  return {
    effect: intIn(a.effect, 0, 6, f.effect, flag),
    color: colourOr(a.color, f.color, flag),
    brightness: intIn(a.brightness, 0, 100, f.brightness, flag),
    speed: intIn(a.speed, 1, 10, f.speed, flag),
  };
}

// A device section as it was written; whether its values suit the device is
// checked when it is used (fitSettings), since only the device knows.
const SECTION_LIMITS = { stages: 16, buttons: 32, leds: 8 };
const PERF_KEYS = ['stageCount', 'activeStage', 'pollingRate', 'liftOff', 'angleSnap', 'debounce', 'motionSync', 'defaultStage'];

function byteAttr(text) {
  const v = Number(text);
  return text !== undefined && text !== '' && Number.isInteger(v) && v >= 0 && v <= 255 ? v : undefined;
}

function indexed(node, name, limit, flag, read) {
  const out = [];
  for (const n of childrenNamed(node, name)) {
    const i = Number(n.attrs.index);
    const v = read(n.attrs);
    if (!Number.isInteger(i) || i < 0 || i >= limit || out[i] !== undefined || v === null) { flag.repaired = true; continue; }
    out[i] = v;
  }
  const n = out.findIndex((x) => x === undefined);
  if (n >= 0) { flag.repaired = true; out.length = n; }
  return out;
}

function readDeviceSection(node, flag) {
  const pn = child(node, 'performance');
  const performance = {};
  for (const key of PERF_KEYS) {
    const v = byteAttr(pn?.attrs?.[key]);
    if (v !== undefined) performance[key] = v;
  }
  const disabled = Number(pn?.attrs?.disabledStages);
  if (Number.isInteger(disabled) && disabled >= 0 && disabled <= 0xffff) performance.disabledStages = disabled;
  performance.stages = indexed(pn, 'stage', SECTION_LIMITS.stages, flag, (a) => {
    const dpi = Number(a.dpi);
    if (!Number.isInteger(dpi) || dpi < 1 || dpi > 65535) return null;
    return isHexColour(a.color) ? { dpi, color: a.color.toLowerCase() } : { dpi };
  });
  const buttons = indexed(child(node, 'buttons'), 'button', SECTION_LIMITS.buttons, flag, (a) => {
    const v = { type: byteAttr(a.type), p1: byteAttr(a.p1), p2: byteAttr(a.p2), p3: byteAttr(a.p3) };
    return Object.values(v).every((x) => x !== undefined) ? v : null;
  });
  const lighting = indexed(child(node, 'lighting'), 'led', SECTION_LIMITS.leds, flag, (a) => {
    const d = Number(a.duration);
    const led = { effect: byteAttr(a.effect), color: a.color, brightness: byteAttr(a.brightness), speed: byteAttr(a.speed) ?? 1,
      duration: Number.isInteger(d) && d >= 0 && d <= 65535 ? d : 0 };
    return led.effect !== undefined && isHexColour(led.color) && led.brightness !== undefined ? { ...led, color: led.color.toLowerCase() } : null;
  });
  return { performance, buttons, lighting };
}

// Where a mode keeps the settings of a device: its hardware ID, and the
// shape it has ('' for a section written before shapes were kept).
export function sectionKey(id, shape = '') {
  return shape ? `${id}\n${shape}` : id;
}

export function splitSectionKey(key) {
  const at = key.lastIndexOf('\n');
  return at < 0 ? { id: key, shape: '' } : { id: key.slice(0, at), shape: key.slice(at + 1) };
}

const SHAPE = /^[0-9a-f]{8}$/;

function readDeviceSections(modeNode, flag) {
  const out = {};
  for (const d of childrenNamed(modeNode, 'device')) {
    const id = d.attrs.id ?? '';
    const shape = d.attrs.shape ?? '';
    const key = sectionKey(id, shape);
    if (!id || id.includes('\n') || (shape && !SHAPE.test(shape)) || out[key]) { flag.repaired = true; continue; }
    out[key] = readDeviceSection(d, flag);
  }
  return out;
}

function deviceElement(key, s) {
  const p = s.performance;
  const attrs = {};
  for (const k of [...PERF_KEYS, 'disabledStages']) if (p[k] !== undefined) attrs[k] = p[k];
  const { id, shape } = splitSectionKey(key);
  return el('device', shape ? { id, shape } : { id }, [
    el('performance', attrs, p.stages.map((st, i) => el('stage', st.color ? { index: i, dpi: st.dpi, color: st.color } : { index: i, dpi: st.dpi }))),
    el('buttons', {}, s.buttons.map((b, i) => el('button', { index: i, type: b.type, p1: b.p1, p2: b.p2, p3: b.p3 }))),
    el('lighting', {}, s.lighting.map((l, i) => el('led', { index: i, effect: l.effect, color: l.color, brightness: l.brightness, speed: l.speed, duration: l.duration }))),
  ]);
}

// The settings of mode for a device: the mode itself for a device laid out
// as the classic mouse (key null), else its section (null when it has none).
export function modeSettings(mode, key) {
  if (!key) return mode;
  return mode.devices?.[key] ?? null;
}

// The sections a mode keeps for other shapes of the device of key (those
// written before shapes were kept first), to start a new shape's settings from.
export function relatedSections(mode, key) {
  const { id } = splitSectionKey(key);
  return Object.entries(mode.devices ?? {})
    .filter(([k]) => k !== key && splitSectionKey(k).id === id)
    .sort(([a], [b]) => (splitSectionKey(a).shape ? 1 : 0) - (splitSectionKey(b).shape ? 1 : 0))
    .map(([, section]) => section);
}

function readMacro(node, flag) {
  const slot = Number(node.attrs.slot);
  if (!Number.isInteger(slot) || slot < 0 || slot >= MACRO_SLOTS) { flag.repaired = true; return null; }
  const steps = [];
  for (const s of childrenNamed(node, 'step')) {
    const kind = s.attrs.kind;
    if (kind === 'delay') {
      const ms = Number(s.attrs.ms);
      if (Number.isInteger(ms) && ms >= 0 && ms <= MAX_DELAY_MS) steps.push({ kind, ms });
      else flag.repaired = true;
    } else if (kind === 'down' || kind === 'up') {
      const scan = Number(s.attrs.code);
      const ext = Number(s.attrs.ext) === 1 ? 1 : 0;
      if (Number.isInteger(scan) && scan >= 1 && scan <= 255) steps.push({ kind, scan, ext });
      else flag.repaired = true;
    } else flag.repaired = true;
  }
  const macro = {
    slot,
    name: node.attrs.name ?? '',
    repeat: intIn(node.attrs.repeat, 0, 3, 0, flag),
    count: intIn(node.attrs.count, 1, 255, 1, flag),
    steps,
  };
  return macro;
}

// How the recorder treats delays and which key stops it (attributes of
// <macros>; a document without them takes the defaults as it is).
export function defaultRecording() {
  return { delays: 'recorded', fixedMs: DEFAULT_DELAY_MS, stopKey: 'esc' };
}

function readRecording(node, flag) {
  const a = node?.attrs ?? {};
  const r = defaultRecording();
  const pick = (text, allowed, fallback) => {
    if (text === undefined) return fallback;
    if (allowed.includes(text)) return text;
    flag.repaired = true;
    return fallback;
  };
  r.delays = pick(a.recordDelays, DELAY_CHOICES, r.delays);
  r.stopKey = pick(a.recordStopKey, STOP_KEYS, r.stopKey);
  if (a.recordFixedMs !== undefined) r.fixedMs = intIn(a.recordFixedMs, 0, MAX_DELAY_MS, r.fixedMs, flag);
  return r;
}

// The <macro> children of a <macros> element, one per slot, by slot.
function readMacros(node, flag) {
  const macros = [];
  for (const m of childrenNamed(node, 'macro')) {
    const mac = readMacro(m, flag);
    if (mac && !macros.some((x) => x.slot === mac.slot)) macros.push(mac);
    else if (mac) flag.repaired = true;
  }
  macros.sort((a, b) => a.slot - b.slot);
  return macros;
}

export function newMode(index, name, from = null) {
  return {
    index: String(index),
    name,
    bindingProcess: '',
    performance: from ? structuredClone(from.performance) : factoryPerformance(),
    buttons: from ? structuredClone(from.buttons) : factoryButtons(),
    lighting: from ? structuredClone(from.lighting) : factoryLighting(),
    devices: from ? structuredClone(from.devices ?? {}) : {},
  };
}

// The model of a mode document text. Throws for text that is not XML or has
// no <conf> root.
export function profileFromXml(text) {
  const root = parseXml(text);
  if (root.name !== 'conf') throw new Error('the profile has no conf element');
  const flag = { repaired: false };
  const ms = child(root, 'modeSetting');
  const modesNode = child(ms, 'modes');
  const modes = [];
  const seen = new Set();
  for (const m of childrenNamed(modesNode, 'mode')) {
    let index = m.attrs.index ?? '';
    if (index === '' || seen.has(index)) {
      flag.repaired = true;
      index = String(nextModeIndex(modes));
    }
    seen.add(index);
    modes.push({
      index,
      name: m.attrs.name ?? '',
      bindingProcess: m.attrs.bindingProcess ?? '',
      performance: readPerformance(child(m, 'performance'), flag),
      buttons: readButtons(child(m, 'buttons'), flag),
      lighting: readLighting(child(m, 'lighting'), flag),
      devices: readDeviceSections(m, flag),
    });
  }
  if (!modes.length) {
    flag.repaired = true;
    modes.push(newMode('0', 'Default'));
  }
  let current = ms?.attrs?.current ?? '';
  if (!modes.some((m) => m.index === current)) {
    flag.repaired = true;
    current = modes[0].index;
  }
  const macros = readMacros(child(root, 'macros'), flag);
  const recording = readRecording(child(root, 'macros'), flag);
  const sys = child(root, 'system')?.attrs ?? {};
  const system = {
    pointerSpeed: systemValue(sys.pointerSpeed, SYSTEM_RANGES.pointerSpeed, flag),
    scrollLines: systemValue(sys.scrollLines, SYSTEM_RANGES.scrollLines, flag),
    doubleClick: systemValue(sys.doubleClick, SYSTEM_RANGES.doubleClick, flag),
  };
  if (!child(root, 'system')) flag.repaired = true;
  // The mouse the user chose to show among several (its hardware ID).
  const device = ms?.attrs?.device ?? '';
  // What each described mouse held when the page first saw it.
  const firstSeen = readDeviceSections(child(root, 'firstSeen'), flag);
  const model = { current, device, modes, macros, recording, system, firstSeen, repaired: flag.repaired };
  if (unifyMacroRepeat(model)) model.repaired = true;
  return model;
}

// Sets how every button of mode that runs slot plays it; true when a button changed.
export function applyMacroRepeat(mode, slot, repeat, count) {
  const p3 = repeat === REPEAT.COUNT ? count : 0;
  let changed = false;
  for (const b of mode.buttons) {
    if (b.type !== ACTION.MACRO || b.p1 !== slot || (b.p2 === repeat && b.p3 === p3)) continue;
    b.p2 = repeat;
    b.p3 = p3;
    changed = true;
  }
  return changed;
}

// A macro has one repeat setting, and every button that runs it plays it that
// way. A document written before may disagree: when all the buttons that run
// a macro agree, the macro takes their setting (it is what the mouse does);
// otherwise they take the macro's. Returns whether anything changed.
export function unifyMacroRepeat(model) {
  let changed = false;
  for (const m of model.macros) {
    const users = model.modes.flatMap((mode) => mode.buttons.filter((b) => b.type === ACTION.MACRO && b.p1 === m.slot));
    if (!users.length) continue;
    const [first] = users;
    const agree = users.every((b) => b.p2 === first.p2 && (first.p2 !== REPEAT.COUNT || b.p3 === first.p3));
    if (agree && (first.p2 !== m.repeat || (first.p2 === REPEAT.COUNT && first.p3 !== m.count))) {
      m.repeat = first.p2;
      if (first.p2 === REPEAT.COUNT) m.count = first.p3;
      changed = true;
    }
    for (const mode of model.modes) if (applyMacroRepeat(mode, m.slot, m.repeat, m.count)) changed = true;
  }
  return changed;
}

export function nextModeIndex(modes) {
  let max = -1;
  for (const m of modes) {
    const v = Number(m.index);
    if (Number.isInteger(v) && v > max) max = v;
  }
  return max + 1;
}

function modeChildren(mode) {
  const p = mode.performance;
  return [
    el('performance', {
      stageCount: p.stageCount, activeStage: p.activeStage, pollingRate: p.pollingRate,
      liftOff: p.liftOff, angleSnap: p.angleSnap, debounce: p.debounce, motionSync: p.motionSync,
    }, p.stages.map((s, i) => el('stage', { index: i, dpi: s.dpi, color: s.color }))),
    el('buttons', {}, mode.buttons.map((b, i) => el('button', { index: i, type: b.type, p1: b.p1, p2: b.p2, p3: b.p3 }))),
    el('lighting', { ...mode.lighting }),
    ...Object.entries(mode.devices ?? {}).map(([id, section]) => deviceElement(id, section)),
  ];
}

export function modeElement(mode) {
  return el('mode', { index: mode.index, name: mode.name, bindingProcess: mode.bindingProcess }, modeChildren(mode));
}

function macroElement(m) {
  return el('macro', { slot: m.slot, name: m.name, repeat: m.repeat, count: m.count },
    m.steps.map((s) => (s.kind === 'delay' ? el('step', { kind: 'delay', ms: s.ms }) : el('step', { kind: s.kind, code: s.scan, ext: s.ext }))));
}

function recordingAttrs(r) {
  return { recordDelays: r.delays, recordFixedMs: r.fixedMs, recordStopKey: r.stopKey };
}

// The content of one <mode> element (what modifyProfileEx puts into it).
export function modeContentXml(mode) {
  return modeChildren(mode).map(serialize).join('');
}

// The content of <conf> (what modifyProfileEx puts into /conf).
export function confContentXml(model) {
  return [
    el('modeSetting', model.device ? { current: model.current, device: model.device } : { current: model.current },
      [el('modes', {}, model.modes.map(modeElement))]),
    el('macros', recordingAttrs(model.recording ?? defaultRecording()), model.macros.map(macroElement)),
    el('system', { ...model.system }),
    // Only once a mouse was seen: a profile of the simulated mouse alone stays as the factory one.
    ...(Object.keys(model.firstSeen ?? {}).length
      ? [el('firstSeen', {}, Object.entries(model.firstSeen).map(([key, section]) => deviceElement(key, section)))] : []),
  ].map(serialize).join('');
}

export function profileToXml(model) {
  return `<?xml version="1.0"?>\n<conf>${confContentXml(model)}</conf>\n`;
}

export function findMode(model, index) {
  return model.modes.find((m) => m.index === String(index)) ?? null;
}

export function activeMode(model) {
  return findMode(model, model.current) ?? model.modes[0];
}

// The mode after (step 1) or before (step -1) the current one, cycling.
export function neighbourMode(model, step) {
  const i = model.modes.findIndex((m) => m.index === model.current);
  const n = model.modes.length;
  return model.modes[(((i < 0 ? 0 : i) + step) % n + n) % n];
}

export function freeMacroSlot(model) {
  for (let s = 0; s < MACRO_SLOTS; s++) if (!model.macros.some((m) => m.slot === s)) return s;
  return -1;
}

export function macroProblems(model) {
  return model.macros.map((m) => ({ slot: m.slot, error: validateMacro(m) })).filter((x) => x.error);
}

// Buttons of any mode that run a macro slot: [{ mode, button, key }].
// key: null for the mode's own buttons, else the hardware ID of the device
// section the button belongs to.
export function macroUsers(model, slot) {
  const out = [];
  for (const mode of model.modes) {
    const sections = [[null, mode], ...Object.entries(mode.devices ?? {})];
    for (const [key, s] of sections) {
      s.buttons.forEach((b, i) => { if (b.type === 5 && b.p1 === slot) out.push({ mode: mode.index, button: i, key }); });
    }
  }
  return out;
}

// The macros a mode's buttons run (those of its sections for other mice too).
export function usedMacros(model, mode) {
  const buttons = [mode, ...Object.values(mode.devices ?? {})].flatMap((s) => s.buttons);
  const slots = new Set(buttons.filter((b) => b.type === ACTION.MACRO).map((b) => b.p1));
  return model.macros.filter((m) => slots.has(m.slot));
}

// The content of an exported <mode>: its settings and the macros its buttons
// run (<macros>, with their slot numbers). A program that does not know the
// <macros> child still imports the settings.
export function modeExportContentXml(model, mode) {
  return modeContentXml(mode) + serialize(el('macros', {}, usedMacros(model, mode).map(macroElement)));
}

// An exported mode element read back: its stored name ('' when it has
// none), settings and macros. Throws for an element without mode settings.
export function modeFromExport(node) {
  if (!node || !['performance', 'buttons', 'lighting'].some((n) => child(node, n))) throw new Error('the file holds no mode settings');
  const flag = { repaired: false };
  return {
    name: String(node.attrs?.name ?? '').trim().slice(0, 40),
    performance: readPerformance(child(node, 'performance'), flag),
    buttons: readButtons(child(node, 'buttons'), flag),
    lighting: readLighting(child(node, 'lighting'), flag),
    devices: readDeviceSections(node, flag),
    macros: readMacros(child(node, 'macros'), flag),
  };
}

const sameMacro = (a, b) => a.name === b.name && a.repeat === b.repeat && a.count === b.count && JSON.stringify(a.steps) === JSON.stringify(b.steps);

// Finds places for the macros of an imported mode: one the profile already
// holds as it is keeps its slot, the others take free slots. Returns the
// buttons running them from there (and those of the mode's sections for
// other mice, devices), the macros to add, and how many found no free slot
// (their buttons take the factory action, or the button's own number).
export function placeImportedMacros(model, buttons, macros, devices = {}) {
  const taken = new Set(model.macros.map((m) => m.slot));
  const slotOf = new Map();
  const added = [];
  let missing = 0;
  for (const m of macros) {
    const have = model.macros.find((x) => sameMacro(x, m)) ?? added.find((x) => sameMacro(x, m));
    if (have) { slotOf.set(m.slot, have.slot); continue; }
    let slot = 0;
    while (slot < MACRO_SLOTS && taken.has(slot)) slot++;
    if (slot >= MACRO_SLOTS) { slotOf.set(m.slot, null); missing++; continue; }
    taken.add(slot);
    slotOf.set(m.slot, slot);
    added.push({ ...structuredClone(m), slot });
  }
  const factory = factoryButtons();
  const place = (list, fallback) => list.map((b, i) => {
    if (b.type !== ACTION.MACRO || !slotOf.has(b.p1)) return { ...b };
    const slot = slotOf.get(b.p1);
    return slot === null ? fallback(i) : { ...b, p1: slot };
  });
  const sections = {};
  for (const [id, s] of Object.entries(devices)) {
    sections[id] = { ...structuredClone(s), buttons: place(s.buttons, (i) => ({ type: i < 5 ? 1 : 7, p1: i + 1, p2: 0, p3: 0 })) };
  }
  return { buttons: place(buttons, (i) => ({ ...factory[i] })), devices: sections, added, missing };
}

// A name no mode has yet: the name itself, else "name (2)", "name (3)", ...
export function uniqueModeName(model, name) {
  const names = new Set(model.modes.map((m) => m.name));
  if (!names.has(name)) return name;
  let n = 2;
  while (names.has(`${name} (${n})`)) n++;
  return `${name} (${n})`;
}

// Reads the file name of a path as a mode name ("C:\x\My Mode.pfd" -> "My Mode").
export function nameFromPath(path) {
  const base = String(path).split(/[\\/]/).pop() ?? '';
  return base.replace(/\.pfd$/i, '') || 'Imported';
}
