// The mouse's buttons: a picture of the mouse to pick one (when the device
// says where its buttons are; a numbered list otherwise), and what each does,
// offering only the actions and functions the device allows for it.
import { t } from '../i18n.js';
import { CLASSIC_CAPS, ROLES, buttonsHavePicture, functionsFor, has, typesFor } from '../caps.js';
import { ACTION, BUTTON_NAMES, PROP, REPEAT } from '../devicemap.js';
import { PROP_ACTIVE_PROFILE, assignmentValid, defaultAssignment, ledsOf } from '../devicesettings.js';
import { assignableKeys, comboLabel, isModifierCode, modifierBits, scanFromCode } from '../keys.js';
import { field, h, s, select } from './dom.js';
import { icon } from './icons.js';

// The name of button i: the physical button its role names, else its number.
export function buttonName(caps, i) {
  const role = caps.buttons.roles[i];
  return role ? t(BUTTON_NAMES[ROLES.indexOf(role)]) : t('button.numbered', { n: i + 1 });
}

// The text of a function of an assignment type. Profile functions switch the
// mouse's own onboard profiles on a mouse that has them (property 14), the
// page's modes on the classic mouse.
export function functionLabel(type, p1, caps = CLASSIC_CAPS) {
  switch (type) {
    case ACTION.MOUSE: return t(`mouseFn.${p1}`);
    case ACTION.DPI: return t(`dpiFn.${p1}`);
    case ACTION.PROFILE: return t(has(caps, PROP_ACTIVE_PROFILE) ? `onboardFn.${p1}` : `profileFn.${p1}`);
    case ACTION.MEDIA: return t(`mediaFn.${p1}`);
    case ACTION.BUTTON: return t('buttonFn', { n: p1 });
    case ACTION.OTHER: return t(`otherFn.${p1}`);
    default: return '?';
  }
}

// A short text for what a button does.
export function assignmentLabel(b, macros = [], caps = CLASSIC_CAPS) {
  switch (b.type) {
    case ACTION.DISABLED: return t('assign.disabled');
    case ACTION.KEY: return comboLabel(b.p1, b.p2, b.p3);
    case ACTION.MOUSE: case ACTION.DPI: case ACTION.PROFILE: case ACTION.MEDIA: case ACTION.BUTTON: case ACTION.OTHER:
      return functionLabel(b.type, b.p1, caps);
    case ACTION.KEEP: return t('assign.kept');
    case ACTION.MACRO: {
      const m = macros.find((x) => x.slot === b.p1);
      return t('assign.macroLabel', { name: m ? m.name : t('macros.emptySlot', { n: b.p1 + 1 }) });
    }
    default: return '?';
  }
}

// Top view of the mouse with a hot zone for each button whose place the
// device names (its role); the underside button is drawn beside it as a
// small inset.
function mouseSvg(app, caps, selected, pick) {
  const zone = (role, d) => {
    const i = caps.buttons.roles.indexOf(role);
    if (i < 0) return null;
    const name = buttonName(caps, i);
    return s('path', {
      d, class: 'zone' + (i === selected ? ' on' : ''), tabindex: '0', role: 'button', 'data-button': i,
      'data-key': `zone:${i}`, 'aria-label': name, 'aria-pressed': i === selected ? 'true' : 'false',
      onclick: () => pick(i),
      onkeydown: (e) => { if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); pick(i); } },
    }, s('title', {}, document.createTextNode(name)));
  };
  const led = ledsOf(app.shown.lighting)[0];
  const colour = !led || led.effect === 0 ? '#3a3f45' : led.color;
  return s('svg', { viewBox: '0 0 260 360', class: 'mouse-svg', role: 'group', 'aria-label': t('buttons.picture') },
    s('defs', {}, s('linearGradient', { id: 'shell', x1: '0', y1: '0', x2: '0', y2: '1' },
      s('stop', { offset: '0', 'stop-color': '#3b4047' }), s('stop', { offset: '1', 'stop-color': '#2a2e33' }))),
    // body
    s('path', { d: 'M130 20 C60 20 40 90 40 150 L40 250 C40 310 80 345 130 345 C180 345 220 310 220 250 L220 150 C220 90 200 20 130 20 Z', fill: 'url(#shell)', stroke: '#4a5058', 'stroke-width': '2' }),
    // logo light
    s('path', { d: 'M118 275 L130 255 L142 275 Z', fill: colour, class: 'logo-light' }),
    zone('left', 'M127 22 C70 24 50 80 48 140 L127 140 Z'),
    zone('right', 'M133 22 C190 24 210 80 212 140 L133 140 Z'),
    zone('middle', 'M121 55 h18 a4 4 0 0 1 4 4 v34 a4 4 0 0 1 -4 4 h-18 a4 4 0 0 1 -4 -4 v-34 a4 4 0 0 1 4 -4 Z'),
    zone('dpiUp', 'M122 104 h16 a3 3 0 0 1 3 3 v10 a3 3 0 0 1 -3 3 h-16 a3 3 0 0 1 -3 -3 v-10 a3 3 0 0 1 3 -3 Z'),
    zone('dpiDown', 'M122 124 h16 a3 3 0 0 1 3 3 v10 a3 3 0 0 1 -3 3 h-16 a3 3 0 0 1 -3 -3 v-10 a3 3 0 0 1 3 -3 Z'),
    zone('forward', 'M30 150 q-6 0 -6 8 v30 q0 8 6 8 h10 v-46 Z'),
    zone('back', 'M30 202 q-6 0 -6 8 v30 q0 8 6 8 h10 v-46 Z'),
    // underside inset
    caps.buttons.roles.includes('profile') ? [
      s('circle', { cx: '226', cy: '325', r: '24', fill: '#1b1e21', stroke: '#4a5058' }),
      zone('profile', 'M214 325 a12 12 0 1 0 24 0 a12 12 0 1 0 -24 0 Z'),
      s('text', { x: '226', y: '292', 'text-anchor': 'middle', class: 'svg-caption' }, document.createTextNode(t('buttons.underside')))] : null);
}

// The data-key of each type's function list.
const FUNCTION_KEYS = { 1: 'mouse', 3: 'dpi', 4: 'profile', 6: 'media', 7: 'button', 8: 'other' };

export function renderButtons(app, ui) {
  const caps = app.device.caps ?? CLASSIC_CAPS;
  const mode = app.shown;
  const count = caps.buttons.count;
  if (!count) return h('div', { class: 'empty' }, h('p', {}, t('buttons.none')));
  const sel = Math.min(app.state.selectedButton, count - 1);
  const b = mode.buttons[sel];
  const macros = app.state.profile.macros.filter((m) => m.slot < caps.macros.slots);
  const pick = (i) => { app.state.selectedButton = i; app.update(); };
  const types = typesFor(caps, sel);

  const assign = async (next) => {
    const v = { type: next.type, p1: next.p1 ?? 0, p2: next.p2 ?? 0, p3: next.p3 ?? 0 };
    if (!assignmentValid(caps, sel, v)) return;
    const isLeft = (x) => (x.type === ACTION.MOUSE || x.type === ACTION.BUTTON) && x.p1 === 1;
    if (sel === 0 && !isLeft(v) && !mode.buttons.some((x, i) => i !== 0 && isLeft(x))) {
      const ok = await ui.confirm({ title: t('buttons.leftWarnTitle'), text: t('buttons.leftWarn'), ok: t('buttons.leftWarnOk'), danger: true });
      if (!ok) return;
    }
    app.modes.change((m) => { m.buttons[sel] = v; }, [PROP.BUTTONS]);
  };

  const list = h('ul', { class: 'button-list' }, mode.buttons.map((bb, i) => h('li', {},
    h('button', { type: 'button', class: 'button-item' + (i === sel ? ' on' : ''), 'data-key': `btn:${i}`, 'aria-pressed': i === sel ? 'true' : 'false', onclick: () => pick(i) },
      h('span', { class: 'button-name' }, buttonName(caps, i)),
      h('span', { class: 'button-action' }, assignmentLabel(bb, macros, caps))))));

  // What each type starts with when it is chosen: the first function the
  // device offers (the classic mouse's usual ones where it has them).
  const first = (type, usual) => { const f = functionsFor(caps, type, sel); return f.includes(usual) ? usual : f[0]; };
  const defaults = {
    [ACTION.MOUSE]: { p1: first(ACTION.MOUSE, 1) }, [ACTION.KEY]: { p1: 0, p2: 0x1e, p3: 0 }, [ACTION.DPI]: { p1: first(ACTION.DPI, 1) },
    [ACTION.PROFILE]: { p1: first(ACTION.PROFILE, 1) }, [ACTION.MEDIA]: { p1: first(ACTION.MEDIA, 1) }, [ACTION.DISABLED]: {},
    [ACTION.BUTTON]: { p1: first(ACTION.BUTTON, sel + 1) }, [ACTION.OTHER]: { p1: first(ACTION.OTHER, 1) },
  };
  const firstMacro = macros[0];
  const repeatOf = (m) => (caps.macros.repeat.includes(m.repeat) ? m.repeat : caps.macros.repeat[0] ?? 0);
  if (firstMacro) defaults[ACTION.MACRO] = { p1: firstMacro.slot, p2: repeatOf(firstMacro), p3: repeatOf(firstMacro) === REPEAT.COUNT ? firstMacro.count : 0 };

  const typeOptions = types.map((v) => ({ value: v, label: t(`assign.type.${v}`), disabled: v === ACTION.MACRO && !firstMacro }));
  // The mouse holds something the page cannot show: it stays until another action is chosen.
  if (!types.includes(b.type)) typeOptions.push({ value: b.type, label: t('assign.kept'), disabled: true });
  const typeSel = select({
    key: 'assign:type', label: t('assign.type'), value: b.type, options: typeOptions,
    onChange: (v) => { const type = Number(v); if (defaults[type]) assign({ type, ...defaults[type] }); },
  });

  let detail = null;
  if ([ACTION.MOUSE, ACTION.DPI, ACTION.PROFILE, ACTION.MEDIA, ACTION.BUTTON, ACTION.OTHER].includes(b.type)) {
    const fns = functionsFor(caps, b.type, sel);
    detail = field(t('assign.function'), select({
      key: `assign:${FUNCTION_KEYS[b.type]}`, label: t('assign.function'), value: b.p1,
      options: (fns.includes(b.p1) ? fns : [b.p1, ...fns]).map((v) => ({ value: v, label: functionLabel(b.type, v, caps) })),
      onChange: (v) => assign({ type: b.type, p1: Number(v) }),
    }));
  } else if (b.type === ACTION.KEY) {
    detail = keyEditor(b, assign);
  } else if (b.type === ACTION.MACRO) {
    detail = macroEditor(app, ui, caps, b, assign);
  } else if (b.type === ACTION.DISABLED) {
    detail = h('p', { class: 'hint' }, t('assign.disabledHint'));
  } else {
    detail = h('p', { class: 'hint' }, t('assign.keptHint'));
  }

  const factory = defaultAssignment(caps, sel);
  const isDefault = JSON.stringify(b) === JSON.stringify(factory);
  const picture = buttonsHavePicture(caps);
  return h('div', { class: 'screen-grid buttons-grid' + (picture ? '' : ' no-picture') },
    picture ? h('section', { class: 'card area-pic' }, h('div', { class: 'mouse-picture' }, mouseSvg(app, caps, sel, pick))) : null,
    h('section', { class: 'card area-list' }, list),
    h('section', { class: 'card area-editor' }, h('h2', { class: 'card-title' }, buttonName(caps, sel)),
      field(t('assign.type'), typeSel),
      detail,
      h('div', { class: 'card-actions' },
        h('button', { type: 'button', class: 'btn', disabled: isDefault || !assignmentValid(caps, sel, factory), 'data-key': 'assign:reset',
          onclick: () => assign(factory) }, icon('reset'), t('assign.restoreDefault')))));
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

function macroEditor(app, ui, caps, b, assign) {
  const macros = app.state.profile.macros.filter((m) => m.slot < caps.macros.slots);
  const macroSel = select({
    key: 'assign:macro', label: t('assign.macro'), value: b.p1,
    options: [...macros.map((m) => ({ value: m.slot, label: `${m.slot + 1}. ${m.name}` })),
      ...(macros.some((m) => m.slot === b.p1) ? [] : [{ value: b.p1, label: t('macros.emptySlot', { n: b.p1 + 1 }) }])],
    onChange: (v) => assign({ type: ACTION.MACRO, p1: Number(v), p2: b.p2, p3: b.p3 }),
  });
  // Only the ways of playing the device offers (a device may play a macro only once).
  const repeats = caps.macros.repeat;
  const repeatSel = repeats.length > 1 ? select({
    key: 'assign:repeat', label: t('macros.repeat'), value: b.p2,
    options: repeats.map((v) => ({ value: v, label: t(`repeat.${v}`) })),
    onChange: (v) => { const p2 = Number(v); assign({ type: ACTION.MACRO, p1: b.p1, p2, p3: p2 === REPEAT.COUNT ? Math.max(1, b.p3) : 0 }); },
  }) : null;
  const count = b.p2 === REPEAT.COUNT ? field(t('macros.count'), h('input', {
    type: 'number', min: 1, max: 255, value: b.p3, 'data-key': 'assign:count', 'aria-label': t('macros.count'),
    onchange: (e) => { const n = Math.min(255, Math.max(1, Math.round(Number(e.target.value) || 1))); assign({ type: ACTION.MACRO, p1: b.p1, p2: 3, p3: n }); },
  })) : null;
  return h('div', {},
    field(t('assign.macro'), macroSel),
    repeatSel ? field(t('macros.repeat'), repeatSel) : h('p', { class: 'hint' }, t('assign.playsOnce')), count,
    h('button', { type: 'button', class: 'btn link', onclick: () => { app.state.selectedSlot = b.p1; ui.go('macros'); } }, t('assign.editMacro')));
}
