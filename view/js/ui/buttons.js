// The eight buttons: a picture of the mouse to pick one, and what it does.
import { t } from '../i18n.js';
import {
  ACTION, BUTTON_COUNT, BUTTON_NAMES, DPI_FUNCTIONS, MEDIA_FUNCTIONS, MOUSE_FUNCTIONS, PROFILE_FUNCTIONS, PROP,
  REPEAT, factoryButtons, validateAssignment,
} from '../devicemap.js';
import { assignableKeys, comboLabel, isModifierCode, metaKeyName, modifierBits, scanFromCode } from '../keys.js';
import { shownMacroName } from '../names.js';
import { field, h, s, select } from './dom.js';
import { icon } from './icons.js';

// A short text for what a button does.
export function assignmentLabel(b, macros = []) {
  switch (b.type) {
    case ACTION.DISABLED: return t('assign.disabled');
    case ACTION.MOUSE: return t(`mouseFn.${b.p1}`);
    case ACTION.KEY: return comboLabel(b.p1, b.p2, b.p3);
    case ACTION.DPI: return t(`dpiFn.${b.p1}`);
    case ACTION.PROFILE: return t(`profileFn.${b.p1}`);
    case ACTION.MACRO: {
      const m = macros.find((x) => x.slot === b.p1);
      return t('assign.macroLabel', { name: m ? shownMacroName(m.name) : t('macros.emptySlot', { n: b.p1 + 1 }) });
    }
    case ACTION.MEDIA: return t(`mediaFn.${b.p1}`);
    default: return '?';
  }
}

// Top view of the mouse with a hot zone per button; the underside button is
// drawn beside it as a small inset.
function mouseSvg(app, selected, pick) {
  const zone = (i, d) => s('path', {
    d, class: 'zone' + (i === selected ? ' on' : ''), tabindex: '0', role: 'button', 'data-button': i,
    'data-key': `zone:${i}`, 'aria-label': t(BUTTON_NAMES[i]), 'aria-pressed': i === selected ? 'true' : 'false',
    'data-tip': t(BUTTON_NAMES[i]), onclick: () => pick(i),
    onkeydown: (e) => { if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); pick(i); } },
  });
  const colour = app.mode.lighting.effect === 0 ? '#3a3f45' : app.mode.lighting.color;
  return s('svg', { viewBox: '0 0 260 360', class: 'mouse-svg', role: 'group', 'aria-label': t('buttons.picture') },
    s('defs', {}, s('linearGradient', { id: 'shell', x1: '0', y1: '0', x2: '0', y2: '1' },
      s('stop', { offset: '0', 'stop-color': '#3b4047' }), s('stop', { offset: '1', 'stop-color': '#2a2e33' }))),
    // body
    s('path', { d: 'M130 20 C60 20 40 90 40 150 L40 250 C40 310 80 345 130 345 C180 345 220 310 220 250 L220 150 C220 90 200 20 130 20 Z', fill: 'url(#shell)', stroke: '#4a5058', 'stroke-width': '2' }),
    // logo light
    s('path', { d: 'M118 275 L130 255 L142 275 Z', fill: colour, class: 'logo-light' }),
    zone(0, 'M127 22 C70 24 50 80 48 140 L127 140 Z'),
    zone(1, 'M133 22 C190 24 210 80 212 140 L133 140 Z'),
    zone(2, 'M121 55 h18 a4 4 0 0 1 4 4 v34 a4 4 0 0 1 -4 4 h-18 a4 4 0 0 1 -4 -4 v-34 a4 4 0 0 1 4 -4 Z'),
    zone(5, 'M122 104 h16 a3 3 0 0 1 3 3 v10 a3 3 0 0 1 -3 3 h-16 a3 3 0 0 1 -3 -3 v-10 a3 3 0 0 1 3 -3 Z'),
    zone(6, 'M122 124 h16 a3 3 0 0 1 3 3 v10 a3 3 0 0 1 -3 3 h-16 a3 3 0 0 1 -3 -3 v-10 a3 3 0 0 1 3 -3 Z'),
    zone(4, 'M30 150 q-6 0 -6 8 v30 q0 8 6 8 h10 v-46 Z'),
    zone(3, 'M30 202 q-6 0 -6 8 v30 q0 8 6 8 h10 v-46 Z'),
    // underside inset
    s('circle', { cx: '226', cy: '325', r: '24', fill: '#1b1e21', stroke: '#4a5058' }),
    zone(7, 'M214 325 a12 12 0 1 0 24 0 a12 12 0 1 0 -24 0 Z'),
    s('text', { x: '226', y: '292', 'text-anchor': 'middle', class: 'svg-caption' }, document.createTextNode(t('buttons.underside'))));
}

function options(list, prefix) {
  return list.map((v) => ({ value: v, label: t(`${prefix}.${v}`) }));
}

// Whether giving button index the assignment v leaves the mode without a left
// click (the user is asked first).
export function losesLeftClick(buttons, index, v) {
  const isLeft = (x) => x.type === ACTION.MOUSE && x.p1 === 1;
  return index === 0 && !isLeft(v) && !buttons.some((x, i) => i !== 0 && isLeft(x));
}

export function renderButtons(app, ui) {
  const mode = app.mode;
  const sel = Math.min(app.state.selectedButton, BUTTON_COUNT - 1);
  const b = mode.buttons[sel];
  const macros = app.state.profile.macros;
  const view = app.state.view;
  // An action type picked whose value is not chosen yet: the button keeps
  // doing what it does until the value is chosen.
  const pending = view.pendingAction?.button === sel ? view.pendingAction : null;
  // An assignment the left-button question is asked about: shown while the
  // question is open, whatever renders meanwhile.
  const asking = view.askingAction?.button === sel ? view.askingAction.v : null;
  const pick = (i) => { app.state.selectedButton = i; view.pendingAction = null; app.update(); };
  // Whatever happens, the editor then shows what the button does.
  const settle = () => { view.pendingAction = null; view.askingAction = null; app.update(); };

  const assign = async (next) => {
    const v = { type: next.type, p1: next.p1 ?? 0, p2: next.p2 ?? 0, p3: next.p3 ?? 0 };
    if (validateAssignment(v)) { settle(); return; }
    if (losesLeftClick(mode.buttons, sel, v)) {
      view.askingAction = { button: sel, v };
      const ok = await ui.confirm({ title: t('buttons.leftWarnTitle'), text: t('buttons.leftWarn'), ok: t('buttons.leftWarnOk'), danger: true });
      if (!ok) { settle(); return; }
    }
    view.pendingAction = null;
    view.askingAction = null;
    await app.modes.change((m) => { m.buttons[sel] = v; }, [PROP.BUTTONS]);
  };

  const list = h('ul', { class: 'button-list' }, mode.buttons.map((bb, i) => h('li', {},
    h('button', { type: 'button', class: 'button-item' + (i === sel ? ' on' : ''), 'data-key': `btn:${i}`, 'aria-pressed': i === sel ? 'true' : 'false', onclick: () => pick(i) },
      h('span', { class: 'button-name' }, t(BUTTON_NAMES[i])),
      h('span', { class: 'button-action' }, assignmentLabel(bb, macros))))));

  const typeOptions = [ACTION.MOUSE, ACTION.KEY, ACTION.DPI, ACTION.PROFILE, ACTION.MACRO, ACTION.MEDIA, ACTION.DISABLED]
    .map((v) => ({ value: v, label: t(`assign.type.${v}`) }));
  const type = asking ? asking.type : pending ? pending.type : b.type;
  const typeSel = select({
    key: 'assign:type', label: t('assign.type'), value: type,
    options: typeOptions.map((o) => ({ ...o, disabled: o.value === ACTION.MACRO && !macros.length })),
    onChange: (v) => {
      const picked = Number(v);
      if (picked === b.type) settle();
      else if (picked === ACTION.DISABLED) assign({ type: picked }); // nothing more to choose
      else { view.pendingAction = { button: sel, type: picked, mods: 0 }; app.update(); }
    },
  });

  // The value of the shown type: the button's own, or none chosen yet.
  const cur = asking ?? (pending ? null : b);
  const choose = { value: '', label: t('assign.choose'), disabled: true };
  const functionField = (key, list, prefix) => field(t('assign.function'), select({
    key, label: t('assign.function'), value: cur ? cur.p1 : '',
    options: [...(cur ? [] : [choose]), ...options(list, prefix)],
    onChange: (v) => assign({ type, p1: Number(v) }),
  }));
  let detail = null;
  if (type === ACTION.MOUSE) detail = functionField('assign:mouse', MOUSE_FUNCTIONS, 'mouseFn');
  else if (type === ACTION.DPI) detail = functionField('assign:dpi', DPI_FUNCTIONS, 'dpiFn');
  else if (type === ACTION.PROFILE) detail = functionField('assign:profile', PROFILE_FUNCTIONS, 'profileFn');
  else if (type === ACTION.MEDIA) detail = functionField('assign:media', MEDIA_FUNCTIONS, 'mediaFn');
  else if (type === ACTION.KEY) {
    detail = keyEditor(cur ?? { p1: pending.mods, p2: 0, p3: 0 }, assign, (mods) => { pending.mods = mods; app.update(); }, choose);
  } else if (type === ACTION.MACRO) detail = macroEditor(app, ui, cur, assign, choose);
  else detail = h('p', { class: 'hint' }, t('assign.disabledHint'));

  const isDefault = JSON.stringify(b) === JSON.stringify(factoryButtons()[sel]);
  return h('div', { class: 'screen-grid buttons-grid' },
    h('section', { class: 'card area-pic' }, h('div', { class: 'mouse-picture' }, mouseSvg(app, sel, pick))),
    h('section', { class: 'card area-list' }, list),
    h('section', { class: 'card area-editor' }, h('h2', { class: 'card-title' }, t(BUTTON_NAMES[sel])),
      field(t('assign.type'), typeSel),
      pending && !asking ? h('p', { class: 'hint', id: 'assign-pending', role: 'status' }, t('assign.pendingHint', { current: assignmentLabel(b, macros) })) : null,
      detail,
      h('div', { class: 'card-actions' },
        h('button', { type: 'button', class: 'btn', disabled: isDefault && !pending, 'data-key': 'assign:reset',
          onclick: () => (isDefault ? settle() : assign(factoryButtons()[sel])) }, icon('reset'), t('assign.restoreDefault')))));
}

// The key of a key assignment. b.p2 0: no key chosen yet; the modifier boxes
// then only remember their state (setMods) until a key is chosen.
function keyEditor(b, assign, setMods, choose) {
  const mods = b.p1;
  const chosen = b.p2 !== 0;
  const capture = h('button', {
    type: 'button', class: 'key-capture', 'data-key': 'assign:capture',
    onkeydown: (e) => {
      if (e.key === 'Tab' && !e.ctrlKey && !e.altKey && !e.metaKey) return; // keep Tab for moving on
      e.preventDefault();
      e.stopPropagation();
      if (isModifierCode(e.code)) return;
      const k = scanFromCode(e.code);
      if (!k || k.scan > 127) return;
      // The combination pressed; before a key is chosen, with the boxes ticked.
      assign({ type: ACTION.KEY, p1: modifierBits(e) | (chosen ? 0 : mods), p2: k.scan, p3: k.ext });
    },
  }, h('span', { class: 'combo' }, chosen ? comboLabel(mods, b.p2, b.p3) : t('assign.noKey')), h('small', {}, t('assign.captureHint')));
  const keys = assignableKeys();
  const keySel = select({
    key: 'assign:key', label: t('assign.key'), value: chosen ? `${b.p2}:${b.p3}` : '',
    options: [...(chosen ? [] : [choose]), ...keys.map((k) => ({ value: `${k.scan}:${k.ext}`, label: k.name }))],
    onChange: (v) => { const [scan, ext] = v.split(':').map(Number); assign({ type: ACTION.KEY, p1: mods, p2: scan, p3: ext }); },
  });
  const modBox = (bit, name) => h('label', { class: 'check' },
    h('input', { type: 'checkbox', checked: (mods & bit) !== 0, 'data-key': `assign:mod:${bit}`,
      onchange: (e) => {
        const next = e.target.checked ? mods | bit : mods & ~bit;
        if (chosen) assign({ type: ACTION.KEY, p1: next, p2: b.p2, p3: b.p3 });
        else setMods(next);
      } }), name);
  return h('div', { class: 'key-editor' },
    capture,
    field(t('assign.key'), keySel),
    h('div', { class: 'mods' }, modBox(1, t('key.ctrl')), modBox(2, t('key.shift')), modBox(4, t('key.alt')), modBox(8, metaKeyName())));
}

// The macro a button runs (b null: none chosen yet) and how it plays. The
// repeat setting is the macro's own: every button that runs it plays it the
// same way, and the macro's page shows the same setting.
function macroEditor(app, ui, b, assign, choose) {
  const macros = app.state.profile.macros;
  const macro = b ? macros.find((m) => m.slot === b.p1) : null;
  const macroSel = select({
    key: 'assign:macro', label: t('assign.macro'), value: b ? b.p1 : '',
    options: [...(b ? [] : [choose]), ...macros.map((m) => ({ value: m.slot, label: `${m.slot + 1}. ${shownMacroName(m.name)}` })),
      ...(!b || macro ? [] : [{ value: b.p1, label: t('macros.emptySlot', { n: b.p1 + 1 }) }])],
    onChange: (v) => {
      const m = macros.find((x) => x.slot === Number(v));
      if (m) assign({ type: ACTION.MACRO, p1: m.slot, p2: m.repeat, p3: m.repeat === REPEAT.COUNT ? m.count : 0 });
    },
  });
  if (!b) return field(t('assign.macro'), macroSel);
  // A button that runs an empty slot has no macro to keep the setting.
  const setRepeat = (repeat, count) => (macro
    ? app.macros.setRepeat(macro.slot, repeat, count)
    : assign({ type: ACTION.MACRO, p1: b.p1, p2: repeat, p3: repeat === REPEAT.COUNT ? count : 0 }));
  const repeatSel = select({
    key: 'assign:repeat', label: t('macros.repeat'), value: b.p2,
    options: [0, 1, 2, 3].map((v) => ({ value: v, label: t(`repeat.${v}`) })),
    onChange: (v) => setRepeat(Number(v), Math.max(1, b.p3 || macro?.count || 1)),
  });
  const count = b.p2 === REPEAT.COUNT ? field(t('macros.count'), h('input', {
    type: 'number', min: 1, max: 255, value: b.p3, 'data-key': 'assign:count', 'aria-label': t('macros.count'),
    onchange: (e) => setRepeat(REPEAT.COUNT, Math.min(255, Math.max(1, Math.round(Number(e.target.value) || 1)))),
  })) : null;
  return h('div', {},
    field(t('assign.macro'), macroSel),
    field(t('macros.repeat'), repeatSel, macro ? t('assign.repeatShared') : null), count,
    h('button', { type: 'button', class: 'btn link', onclick: () => { app.state.selectedSlot = b.p1; ui.go('macros'); } }, t('assign.editMacro')));
}
