// The eight buttons: a picture of the mouse to pick one, and what it does.
import { t } from '../i18n.js';
import {
  ACTION, BUTTON_COUNT, BUTTON_NAMES, DPI_FUNCTIONS, MEDIA_FUNCTIONS, MOUSE_FUNCTIONS, PROFILE_FUNCTIONS, PROP,
  REPEAT, factoryButtons, validateAssignment,
} from '../devicemap.js';
import { assignableKeys, comboLabel, isModifierCode, modifierBits, scanFromCode } from '../keys.js';
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
      return t('assign.macroLabel', { name: m ? m.name : t('macros.emptySlot', { n: b.p1 + 1 }) });
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
    onclick: () => pick(i),
    onkeydown: (e) => { if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); pick(i); } },
  }, s('title', {}, document.createTextNode(t(BUTTON_NAMES[i]))));
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

export function renderButtons(app, ui) {
  const mode = app.mode;
  const sel = Math.min(app.state.selectedButton, BUTTON_COUNT - 1);
  const b = mode.buttons[sel];
  const macros = app.state.profile.macros;
  const pick = (i) => { app.state.selectedButton = i; app.update(); };

  const assign = async (next) => {
    const v = { type: next.type, p1: next.p1 ?? 0, p2: next.p2 ?? 0, p3: next.p3 ?? 0 };
    if (validateAssignment(v)) return;
    if (sel === 0 && !(v.type === ACTION.MOUSE && v.p1 === 1) && !mode.buttons.some((x, i) => i !== 0 && x.type === ACTION.MOUSE && x.p1 === 1)) {
      const ok = await ui.confirm({ title: t('buttons.leftWarnTitle'), text: t('buttons.leftWarn'), ok: t('buttons.leftWarnOk'), danger: true });
      if (!ok) return;
    }
    app.modes.change((m) => { m.buttons[sel] = v; }, [PROP.BUTTONS]);
  };

  const list = h('ul', { class: 'button-list' }, mode.buttons.map((bb, i) => h('li', {},
    h('button', { type: 'button', class: 'button-item' + (i === sel ? ' on' : ''), 'data-key': `btn:${i}`, 'aria-pressed': i === sel ? 'true' : 'false', onclick: () => pick(i) },
      h('span', { class: 'button-name' }, t(BUTTON_NAMES[i])),
      h('span', { class: 'button-action' }, assignmentLabel(bb, macros))))));

  const typeOptions = [ACTION.MOUSE, ACTION.KEY, ACTION.DPI, ACTION.PROFILE, ACTION.MACRO, ACTION.MEDIA, ACTION.DISABLED]
    .map((v) => ({ value: v, label: t(`assign.type.${v}`) }));
  const defaults = {
    [ACTION.MOUSE]: { p1: 1 }, [ACTION.KEY]: { p1: 0, p2: 0x1e, p3: 0 }, [ACTION.DPI]: { p1: 1 },
    [ACTION.PROFILE]: { p1: 1 }, [ACTION.MEDIA]: { p1: 1 }, [ACTION.DISABLED]: {},
  };
  const firstMacro = macros[0];
  if (firstMacro) defaults[ACTION.MACRO] = { p1: firstMacro.slot, p2: firstMacro.repeat, p3: firstMacro.repeat === REPEAT.COUNT ? firstMacro.count : 0 };

  const typeSel = select({
    key: 'assign:type', label: t('assign.type'), value: b.type,
    options: typeOptions.map((o) => ({ ...o, disabled: o.value === ACTION.MACRO && !firstMacro })),
    onChange: (v) => { const type = Number(v); if (defaults[type]) assign({ type, ...defaults[type] }); },
  });

  let detail = null;
  if (b.type === ACTION.MOUSE) {
    detail = field(t('assign.function'), select({ key: 'assign:mouse', label: t('assign.function'), value: b.p1, options: options(MOUSE_FUNCTIONS, 'mouseFn'), onChange: (v) => assign({ type: 1, p1: Number(v) }) }));
  } else if (b.type === ACTION.DPI) {
    detail = field(t('assign.function'), select({ key: 'assign:dpi', label: t('assign.function'), value: b.p1, options: options(DPI_FUNCTIONS, 'dpiFn'), onChange: (v) => assign({ type: 3, p1: Number(v) }) }));
  } else if (b.type === ACTION.PROFILE) {
    detail = field(t('assign.function'), select({ key: 'assign:profile', label: t('assign.function'), value: b.p1, options: options(PROFILE_FUNCTIONS, 'profileFn'), onChange: (v) => assign({ type: 4, p1: Number(v) }) }));
  } else if (b.type === ACTION.MEDIA) {
    detail = field(t('assign.function'), select({ key: 'assign:media', label: t('assign.function'), value: b.p1, options: options(MEDIA_FUNCTIONS, 'mediaFn'), onChange: (v) => assign({ type: 6, p1: Number(v) }) }));
  } else if (b.type === ACTION.KEY) {
    detail = keyEditor(b, assign);
  } else if (b.type === ACTION.MACRO) {
    detail = macroEditor(app, ui, b, assign);
  } else {
    detail = h('p', { class: 'hint' }, t('assign.disabledHint'));
  }

  const isDefault = JSON.stringify(b) === JSON.stringify(factoryButtons()[sel]);
  return h('div', { class: 'screen-grid buttons-grid' },
    h('section', { class: 'card area-pic' }, h('div', { class: 'mouse-picture' }, mouseSvg(app, sel, pick))),
    h('section', { class: 'card area-list' }, list),
    h('section', { class: 'card area-editor' }, h('h2', { class: 'card-title' }, t(BUTTON_NAMES[sel])),
      field(t('assign.type'), typeSel),
      detail,
      h('div', { class: 'card-actions' },
        h('button', { type: 'button', class: 'btn', disabled: isDefault, 'data-key': 'assign:reset',
          onclick: () => assign(factoryButtons()[sel]) }, icon('reset'), t('assign.restoreDefault')))));
}


function keyEditor(b, assign) {
  const mods = b.p1;
  const capture = h('button', {
    type: 'button', class: 'key-capture', 'data-key': 'assign:capture',
    onkeydown: (e) => {
      if (e.key === 'Tab' && !e.ctrlKey && !e.altKey && !e.metaKey) return; // keep Tab for moving on
      e.preventDefault();
      e.stopPropagation();
      if (isModifierCode(e.code)) return;
      const k = scanFromCode(e.code);
      if (!k || k.scan > 127) return;
      assign({ type: ACTION.KEY, p1: modifierBits(e), p2: k.scan, p3: k.ext });
    },
  }, h('span', { class: 'combo' }, comboLabel(mods, b.p2, b.p3)), h('small', {}, t('assign.captureHint')));
  const keys = assignableKeys();
  const keySel = select({
    key: 'assign:key', label: t('assign.key'), value: `${b.p2}:${b.p3}`,
    options: keys.map((k) => ({ value: `${k.scan}:${k.ext}`, label: k.name })),
    onChange: (v) => { const [scan, ext] = v.split(':').map(Number); assign({ type: ACTION.KEY, p1: mods, p2: scan, p3: ext }); },
  });
  const modBox = (bit, name) => h('label', { class: 'check' },
    h('input', { type: 'checkbox', checked: (mods & bit) !== 0, 'data-key': `assign:mod:${bit}`,
      onchange: (e) => assign({ type: ACTION.KEY, p1: e.target.checked ? mods | bit : mods & ~bit, p2: b.p2, p3: b.p3 }) }), name);
  return h('div', { class: 'key-editor' },
    capture,
    field(t('assign.key'), keySel),
    h('div', { class: 'mods' }, modBox(1, t('key.ctrl')), modBox(2, t('key.shift')), modBox(4, t('key.alt')), modBox(8, t('key.win'))));
}

function macroEditor(app, ui, b, assign) {
  const macros = app.state.profile.macros;
  const macroSel = select({
    key: 'assign:macro', label: t('assign.macro'), value: b.p1,
    options: [...macros.map((m) => ({ value: m.slot, label: `${m.slot + 1}. ${m.name}` })),
      ...(macros.some((m) => m.slot === b.p1) ? [] : [{ value: b.p1, label: t('macros.emptySlot', { n: b.p1 + 1 }) }])],
    onChange: (v) => assign({ type: ACTION.MACRO, p1: Number(v), p2: b.p2, p3: b.p3 }),
  });
  const repeatSel = select({
    key: 'assign:repeat', label: t('macros.repeat'), value: b.p2,
    options: [0, 1, 2, 3].map((v) => ({ value: v, label: t(`repeat.${v}`) })),
    onChange: (v) => { const p2 = Number(v); assign({ type: ACTION.MACRO, p1: b.p1, p2, p3: p2 === REPEAT.COUNT ? Math.max(1, b.p3) : 0 }); },
  });
  const count = b.p2 === REPEAT.COUNT ? field(t('macros.count'), h('input', {
    type: 'number', min: 1, max: 255, value: b.p3, 'data-key': 'assign:count', 'aria-label': t('macros.count'),
    onchange: (e) => { const n = Math.min(255, Math.max(1, Math.round(Number(e.target.value) || 1))); assign({ type: ACTION.MACRO, p1: b.p1, p2: 3, p3: n }); },
  })) : null;
  return h('div', {},
    field(t('assign.macro'), macroSel),
    field(t('macros.repeat'), repeatSel), count,
    h('button', { type: 'button', class: 'btn link', onclick: () => { app.state.selectedSlot = b.p1; ui.go('macros'); } }, t('assign.editMacro')));
}
