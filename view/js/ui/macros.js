// Macros: the eight slots of the mouse, recording, and the step timeline.
import { t, formatUnit, sentences, unitSymbol } from '../i18n.js';
import { ACTION, MACRO_MAX_EVENTS, MACRO_SLOTS, REPEAT } from '../devicemap.js';
import { keyName, scanFromCode, isModifierCode } from '../keys.js';
import {
  DELAY_CHOICES, applyDelayChoice, eventCount, insertDelay, insertKeyPress, readRepeatCount, removeStep, setDelay, totalDuration,
  MAX_DELAY_MS, MAX_REPEAT_COUNT,
} from '../macro.js';
import { macroUsers, findMode } from '../profile.js';
import { BUTTON_NAMES } from '../devicemap.js';
import { CLASSIC_CAPS } from '../caps.js';
import { card, field, focusBack, h, renderInto, select, toggle } from './dom.js';
import { icon } from './icons.js';
import { shownMacroName, shownModeName } from '../names.js';

// The numbers in the macro messages, formatted like every other number.
const MACRO_ERROR_VARS = Object.freeze({ max: MAX_DELAY_MS });

// What became of a macro: "Stored in the mouse" only while a button of the
// active mode runs it on the shown mouse; a macro on no button is saved, but
// a mouse whose daemon plays a button's macro (ratbagd) has not got it.
function statusText(st, onButton = true) {
  if (!st) return '';
  if (st === 'stored') return t(onButton ? 'macros.stored' : 'macros.storedNoButton');
  if (st === 'storing') return t('macros.storing');
  if (st === 'pending') return t('macros.pending');
  if (st === 'offline') return t('macros.offline');
  const key = st.error?.key ?? '';
  return key.startsWith('macro.error.') ? t(key, MACRO_ERROR_VARS) : t('macros.notStored');
}

// The repeat setting is the macro's own, kept for every mouse; a mouse that
// plays macros only once (a ratbagd mouse) plays it once whatever it says.
function playsOnceOnly(app, m) {
  const repeats = (app.device.caps ?? CLASSIC_CAPS).macros.repeat;
  return repeats.length <= 1 && !repeats.includes(m.repeat);
}

// What the editor shows of slot: its steps (while it is recorded, the
// recording's so far, as the list shows them) and whether it is stored in the
// mouse (nothing while it is recorded: the stored state is of the steps being
// replaced, and an empty macro's "no key steps yet" would stand beside the
// keys coming in).
export function shownMacro(app, slot) {
  const rec = app.state.recording;
  if (rec && rec.slot === slot) return { steps: applyDelayChoice(rec.steps, app.state.profile.recording), status: null };
  return { steps: app.macros.get(slot)?.steps ?? [], status: app.state.macroStatus[slot] ?? null };
}

// Whether a button of the active mode runs the macro of slot on the shown mouse.
export function runOnButton(app, slot) {
  return app.shown.buttons.some((b) => b.type === ACTION.MACRO && b.p1 === slot);
}

// The buttons that run a macro, each with its mode, listed with the language's
// own brackets and separator ("戻る（…）（デフォルト）、…" in Japanese).
export function usedByText(profile, users) {
  const item = (u) => t('macros.usedByItem', {
    button: u.key ? t('button.numbered', { n: u.button + 1 }) : t(BUTTON_NAMES[u.button]),
    mode: shownModeName(findMode(profile, u.mode).name),
  });
  // A mouse kept in several shapes has its buttons named once.
  return t('macros.usedBy', { list: [...new Set(users.map(item))].join(t('macros.usedBySeparator')) });
}

export function renderMacros(app, ui) {
  const p = app.state.profile;
  const rec = app.state.recording;
  let sel = app.state.selectedSlot;
  if (sel === null || !app.macros.get(sel)) sel = p.macros[0]?.slot ?? null;
  app.state.selectedSlot = sel;

  const slots = [];
  for (let slot = 0; slot < MACRO_SLOTS; slot++) {
    const m = app.macros.get(slot);
    const st = shownMacro(app, slot).status;
    slots.push(h('li', {}, m
      ? h('button', { type: 'button', class: 'slot' + (slot === sel ? ' on' : ''), 'data-key': `slot:${slot}`, 'aria-pressed': slot === sel ? 'true' : 'false',
        disabled: !!rec && rec.slot !== slot, onclick: () => { app.state.selectedSlot = slot; app.update(); } },
      h('span', { class: 'slot-no' }, String(slot + 1)),
      h('span', { class: 'slot-name' }, shownMacroName(m.name) || t('macros.unnamed')),
      h('span', { class: 'slot-status' + (st && st.error ? ' bad' : '') }, statusText(st, runOnButton(app, slot))))
      : h('button', { type: 'button', class: 'slot free', 'data-key': `slot:${slot}`, disabled: !!rec, onclick: () => app.macros.create(slot) },
        h('span', { class: 'slot-no' }, String(slot + 1)),
        h('span', { class: 'slot-name', title: t('macros.emptySlot', { n: slot + 1 }) }, t('macros.free')),
        h('span', { class: 'slot-status' }, icon('plus')))));
  }

  const left = card(t('macros.slotsTitle'), h('p', { class: 'hint' }, t('macros.slotsHint')), h('ul', { class: 'slots' }, slots));
  if (sel === null) {
    return h('div', { class: 'screen-grid macros-grid' }, left,
      card(t('macros.editorTitle'), h('div', { class: 'empty small' }, icon('keyboard', 'empty-icon'), h('p', {}, t('macros.none')),
        h('button', { type: 'button', class: 'btn primary', 'data-key': 'macro:new', onclick: () => app.macros.create(0) }, icon('plus'), t('macros.new')))));
  }

  const m = app.macros.get(sel);
  const recordingThis = rec && rec.slot === sel;
  const { steps: shownSteps, status: st } = shownMacro(app, sel);
  const users = macroUsers(p, sel);
  const n = eventCount(shownSteps);

  const header = h('div', { class: 'macro-head' },
    field(t('macros.name'), h('input', {
      type: 'text', maxlength: 29, value: shownMacroName(m.name), 'data-key': 'macro:name', disabled: !!rec, 'aria-label': t('macros.name'),
      onchange: (e) => app.macros.edit(sel, (mm) => { mm.name = e.target.value.trim(); }),
    })),
    field(t('macros.repeat'), select({
      key: 'macro:repeat', label: t('macros.repeat'), value: m.repeat, disabled: !!rec,
      options: [0, 1, 2, 3].map((v) => ({ value: v, label: t(`repeat.${v}`) })),
      onChange: (v) => app.macros.setRepeat(sel, Number(v), m.count),
    }), playsOnceOnly(app, m) ? t('assign.playsOnce') : null),
    m.repeat === REPEAT.COUNT ? field(t('macros.count'), h('input', {
      type: 'number', min: 1, max: MAX_REPEAT_COUNT, value: m.count, 'data-key': 'macro:count', 'aria-label': t('macros.count'),
      onchange: (e) => {
        const count = readRepeatCount(e.target.value);
        if (count === null) e.target.value = m.count;
        else app.macros.setRepeat(sel, REPEAT.COUNT, count);
      },
    })) : null);

  const recordBtn = recordingThis
    ? h('button', { type: 'button', class: 'btn danger recording', id: 'record-stop', 'data-key': 'macro:record',
      'aria-describedby': 'recording-hint', onclick: () => app.macros.stopRecording() }, icon('stop'), t('macros.stop'))
    : h('button', { type: 'button', class: 'btn primary', id: 'record-start', 'data-key': 'macro:record', disabled: !!rec, onclick: () => startRecording(app, sel) }, icon('record'), t('macros.record'));

  const toolbar = h('div', { class: 'macro-toolbar' }, recordBtn,
    h('button', { type: 'button', class: 'btn', disabled: !!rec || m.steps.length === 0, 'data-key': 'macro:clear',
      onclick: async () => {
        if (await ui.confirm({ title: t('macros.clear'), text: t('macros.clearConfirm'), ok: t('macros.clear'), danger: true })) {
          app.macros.edit(sel, (mm) => { mm.steps = []; });
        }
      } }, icon('trash'), t('macros.clear')),
    h('button', { type: 'button', class: 'btn', disabled: !!rec, 'data-key': 'macro:delete',
      onclick: async () => {
        const text = users.length ? t('macros.deleteUsed', { n: users.length }) : t('macros.deleteConfirm');
        if (await ui.confirm({ title: t('macros.delete'), text, ok: t('macros.delete'), danger: true })) app.macros.remove(sel);
      } }, t('macros.delete')));

  // While this macro is recorded its options cannot change: the hint (what is
  // recorded, how to stop) takes their place, so the steps keep their room.
  const recOptions = recordingThis
    ? h('p', { class: 'recording-hint', id: 'recording-hint', role: 'status' },
      sentences(t(app.state.session?.recordScope === 'window' ? 'macros.recordingHintWindow' : 'macros.recordingHint'),
        t(p.recording.stopKey === 'esc' ? 'macros.recordStopEsc' : 'macros.recordStopPointer')))
    : recordingOptions(app, !!rec);

  const timeline = h('div', { id: 'timeline', class: 'timeline' });
  renderTimeline(app, ui, timeline);

  const footer = h('div', { class: 'macro-foot' },
    h('span', { class: 'hint' }, t('macros.summary', { steps: shownSteps.length, events: n, max: app.device.caps?.macros.events || MACRO_MAX_EVENTS, time: formatUnit(totalDuration(shownSteps), 'millisecond') })),
    h('span', { class: 'slot-status' + (st && st.error ? ' bad' : ''), id: 'macro-status' }, statusText(st, runOnButton(app, sel))),
    h('span', { class: 'hint' }, users.length ? usedByText(p, users) : t('macros.unused')));

  return h('div', { class: 'screen-grid macros-grid' }, left,
    card(t('macros.editorTitle'), header, toolbar, recOptions, timeline, footer));
}

// How a recording treats delays and whether Esc stops it (set before
// recording; they apply to every recording).
function recordingOptions(app, locked) {
  const r = app.state.profile.recording;
  const set = (fn) => app.macros.setRecording(fn);
  return h('div', { class: 'record-options' },
    field(t('macros.delays'), select({
      key: 'macro:delays', label: t('macros.delays'), value: r.delays, disabled: locked,
      options: DELAY_CHOICES.map((v) => ({ value: v, label: t(`macros.delays.${v}`) })),
      onChange: (v) => set((x) => { x.delays = v; }),
    })),
    r.delays === 'fixed' ? field(t('macros.fixedDelay'), h('span', { class: 'delay-edit' }, h('input', {
      type: 'number', min: 0, max: MAX_DELAY_MS, value: r.fixedMs, disabled: locked, 'data-key': 'macro:fixed-ms', 'aria-label': t('macros.fixedDelay'),
      onchange: (e) => {
        const v = Math.round(Number(e.target.value));
        if (e.target.value === '' || !Number.isFinite(v) || v < 0 || v > MAX_DELAY_MS) { e.target.value = r.fixedMs; app.error('macro.error.delay', '', [], { vars: MACRO_ERROR_VARS }); return; }
        set((x) => { x.fixedMs = v; });
      },
    }), h('span', { class: 'unit' }, unitSymbol('millisecond')))) : null,
    toggle({ key: 'macro:esc-stops', label: t('macros.escStops'), value: r.stopKey === 'esc', disabled: locked,
      onChange: (v) => set((x) => { x.stopKey = v ? 'esc' : 'none'; }) }));
}

// While recording, keys typed into the page only go into the macro (the
// recorder sees them itself): none of them presses a button or moves the
// focus, so Space, Enter and Tab are recorded like any key. The stop key (Esc
// unless the user records Esc too) stops; the pointer always can.
let blocker = null;
async function startRecording(app, slot) {
  await app.macros.startRecording(slot);
  // Once the recording runs: the key that started it may still come up, and
  // the blocker goes with the first key after the recording.
  if (!app.state.recording || blocker) return;
  blocker = (e) => {
    if (!app.state.recording) { window.removeEventListener('keydown', blocker, true); window.removeEventListener('keyup', blocker, true); blocker = null; return; }
    e.preventDefault();
    e.stopPropagation();
    const k = scanFromCode(e.code);
    const stop = app.macros.stopKey;
    if (e.type === 'keydown' && stop && k && k.scan === stop.scan && k.ext === stop.ext) app.macros.stopRecording();
  };
  window.addEventListener('keydown', blocker, true);
  window.addEventListener('keyup', blocker, true);
  // The focus stays on the record button, which becomes the Stop button
  // (described by the recording hint); keys cannot press it.
}

export function renderTimeline(app, ui, container) {
  const rec = app.state.recording;
  const sel = app.state.selectedSlot;
  const recordingThis = rec && rec.slot === sel;
  const { steps } = shownMacro(app, sel);
  const locked = !!rec;
  const edit = (fn) => app.macros.edit(sel, (mm) => { mm.steps = fn(mm.steps); });

  // Adding at the end, also to a macro without steps yet.
  const addButtons = () => h('div', { class: 'step add' },
    h('button', { type: 'button', class: 'btn small', 'data-key': 'step-add-key', onclick: () => askKey(ui, (k) => edit((s) => insertKeyPress(s, s.length, k.scan, k.ext)), t('macros.addKeyTitle')) }, icon('plus'), t('macros.addKey')),
    h('button', { type: 'button', class: 'btn small', 'data-key': 'step-add-delay', onclick: () => edit((s) => insertDelay(s, s.length)) }, icon('clock'), t('macros.addDelay')));
  renderInto(container, () => {
    if (!steps.length) {
      return [h('p', { class: 'timeline-empty' }, recordingThis ? t('macros.waiting') : t('macros.emptyTimeline')), locked ? null : addButtons()];
    }
    const rows = steps.map((stp, i) => {
      const kindIcon = stp.kind === 'delay' ? 'clock' : stp.kind === 'down' ? 'down' : 'up';
      const main = stp.kind === 'delay'
        ? h('label', { class: 'delay-edit' }, h('input', {
          type: 'number', min: 0, max: MAX_DELAY_MS, value: stp.ms, disabled: locked, 'data-key': `step-ms:${i}`,
          'aria-label': t('macros.delayOf', { n: i + 1 }),
          onchange: (e) => {
            try { edit((s) => setDelay(s, i, e.target.value)); } catch { e.target.value = stp.ms; app.error('macro.error.delay', '', [], { vars: MACRO_ERROR_VARS }); }
          },
        }), h('span', { class: 'unit' }, unitSymbol('millisecond')))
        : h('span', { class: 'key-chip' }, keyName(stp.scan, stp.ext));
      return h('div', { class: `step ${stp.kind}`, role: 'listitem', 'data-step': i },
        h('span', { class: 'step-no' }, String(i + 1)),
        icon(kindIcon, 'step-icon'),
        h('span', { class: 'step-kind' }, t(`macros.kind.${stp.kind}`)),
        main,
        locked ? null : h('span', { class: 'step-actions' },
          h('button', { type: 'button', class: 'icon-btn', title: t('macros.insertDelay'), 'aria-label': t('macros.insertDelay'), 'data-key': `step-delay:${i}`,
            onclick: () => edit((s) => insertDelay(s, i)) }, icon('clock')),
          h('button', { type: 'button', class: 'icon-btn', title: t('macros.insertKey'), 'aria-label': t('macros.insertKey'), 'data-key': `step-key:${i}`,
            onclick: () => askKey(ui, (k) => edit((s) => insertKeyPress(s, i, k.scan, k.ext)), t('macros.insertKey')) }, icon('plus')),
          h('button', { type: 'button', class: 'icon-btn', title: t('macros.deleteStep'), 'aria-label': t('macros.deleteStep'), 'data-key': `step-del:${i}`,
            onclick: () => app.macros.editSteps(sel, (s) => removeStep(s, i), 'macros.undoStep') }, icon('trash'))));
    });
    const list = h('div', { role: 'list', 'aria-label': t('macros.timeline') }, rows);
    return locked ? list : [list, addButtons()];
  });
  // The newest step stays in sight, whether the list or the page scrolls
  // (once the screen is in place: it is built before it is shown).
  if (recordingThis) queueMicrotask(() => container.querySelector('.step:last-child')?.scrollIntoView({ block: 'nearest' }));
}

// Asks for one key in a small in-page dialog titled title (the key is taken
// from the page's own keyboard event, so it works without the recorder).
function askKey(ui, done, title) {
  const root = document.querySelector('#dialog-root');
  const before = document.activeElement;
  const close = () => { root.replaceChildren(); focusBack(before); };
  const box = h('div', { class: 'dialog', role: 'dialog', 'aria-modal': 'true', 'aria-label': title, tabindex: '-1',
    onkeydown: (e) => {
      e.preventDefault();
      e.stopPropagation();
      if (e.key === 'Escape' && !e.ctrlKey) { close(); return; }
      const k = scanFromCode(e.code);
      if (!k) return;
      if (isModifierCode(e.code) && e.type !== 'keydown') return;
      close();
      done(k);
    } },
  h('h2', {}, title), h('p', {}, t('macros.pressKey')),
  h('div', { class: 'dialog-actions' }, h('button', { type: 'button', class: 'btn', onclick: close }, t('action.cancel'))));
  root.replaceChildren(h('div', { class: 'backdrop' }, box));
  box.focus();
}
