// The mouse's buttons: a picture of the mouse to pick one (when the device
// says where its buttons are; a numbered list otherwise), and what each does,
// offering only the actions and functions the device allows for it.
import { t } from '../i18n.js';
import { CLASSIC_CAPS, ROLES, buttonsHavePicture, functionsFor, has, typesFor } from '../caps.js';
import { ACTION, BUTTON_NAMES, PROP, REPEAT } from '../devicemap.js';
import { PROP_ACTIVE_PROFILE, assignmentValid, ledsOf } from '../devicesettings.js';
import { assignableKeys, comboLabel, isModifierCode, metaKeyName, modifierBits, scanFromCode } from '../keys.js';
import { MAX_REPEAT_COUNT, readRepeatCount } from '../macro.js';
import { shownMacroName } from '../names.js';
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
      return t('assign.macroLabel', { name: m ? shownMacroName(m.name) : t('macros.emptySlot', { n: b.p1 + 1 }) });
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
      'data-tip': name, onclick: () => pick(i),
      onkeydown: (e) => { if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); pick(i); } },
    });
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

// Whether giving button index the assignment v leaves the mode without a left
// click (the user is asked first).
export function losesLeftClick(buttons, index, v) {
  const isLeft = (x) => (x.type === ACTION.MOUSE || x.type === ACTION.BUTTON) && x.p1 === 1;
  return index === 0 && !isLeft(v) && !buttons.some((x, i) => i !== 0 && isLeft(x));
}

export function renderButtons(app, ui) {
  const caps = app.device.caps ?? CLASSIC_CAPS;
  const mode = app.shown;
  const count = caps.buttons.count;
  if (!count) return h('div', { class: 'empty' }, h('p', {}, t('buttons.none')));
  const sel = Math.min(app.state.selectedButton, count - 1);
  const b = mode.buttons[sel];
  const macros = app.state.profile.macros.filter((m) => m.slot < caps.macros.slots);
  const types = typesFor(caps, sel);
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
    if (!assignmentValid(caps, sel, v)) { settle(); return; }
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
      h('span', { class: 'button-name' }, buttonName(caps, i)),
      h('span', { class: 'button-action' }, assignmentLabel(bb, macros, caps))))));

  // Only the types this button allows; what the mouse holds that the page
  // cannot show stays until another action is chosen.
  const typeOptions = types.map((v) => ({ value: v, label: t(`assign.type.${v}`), disabled: v === ACTION.MACRO && !macros.length }));
  if (!types.includes(b.type)) typeOptions.push({ value: b.type, label: t('assign.kept'), disabled: true });
  const type = asking ? asking.type : pending ? pending.type : b.type;
  const typeSel = select({
    key: 'assign:type', label: t('assign.type'), value: type,
    options: typeOptions,
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
  // The functions of the shown type this button takes on this device.
  const functionField = () => {
    const list = functionsFor(caps, type, sel);
    const fns = cur && !list.includes(cur.p1) ? [cur.p1, ...list] : list;
    return field(t('assign.function'), select({
      key: `assign:${FUNCTION_KEYS[type]}`, label: t('assign.function'), value: cur ? cur.p1 : '',
      options: [...(cur ? [] : [choose]), ...fns.map((v) => ({ value: v, label: functionLabel(type, v, caps) }))],
      onChange: (v) => assign({ type, p1: Number(v) }),
    }));
  };
  let detail = null;
  if (FUNCTION_KEYS[type]) detail = functionField();
  else if (type === ACTION.KEY) {
    detail = keyEditor(cur ?? { p1: pending.mods, p2: 0, p3: 0 }, assign, (mods) => { pending.mods = mods; app.update(); }, choose);
  } else if (type === ACTION.MACRO) detail = macroEditor(app, ui, caps, cur, assign, choose);
  else if (type === ACTION.DISABLED) detail = h('p', { class: 'hint' }, t('assign.disabledHint'));
  else detail = h('p', { class: 'hint' }, t('assign.keptHint'));

  // The button's default: the classic mouse's factory assignment, another
  // mouse's as it held it when first seen (none known: nothing to restore).
  const factory = app.modes.buttonDefault(sel);
  const isDefault = !!factory && JSON.stringify(b) === JSON.stringify(factory);
  const picture = buttonsHavePicture(caps);
  return h('div', { class: 'screen-grid buttons-grid' + (picture ? '' : ' no-picture') },
    picture ? h('section', { class: 'card area-pic' }, h('div', { class: 'mouse-picture' }, mouseSvg(app, caps, sel, pick))) : null,
    h('section', { class: 'card area-list' }, list),
    h('section', { class: 'card area-editor' }, h('h2', { class: 'card-title' }, buttonName(caps, sel)),
      field(t('assign.type'), typeSel),
      pending && !asking ? h('p', { class: 'hint', id: 'assign-pending', role: 'status' }, t('assign.pendingHint', { current: assignmentLabel(b, macros, caps) })) : null,
      detail,
      h('div', { class: 'card-actions' },
        h('button', { type: 'button', class: 'btn', disabled: !factory || (isDefault && !pending) || !assignmentValid(caps, sel, factory), 'data-key': 'assign:reset',
          onclick: () => (isDefault ? settle() : assign(factory)) }, icon('reset'), t('assign.restoreDefault')))));
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
function macroEditor(app, ui, caps, b, assign, choose) {
  const macros = app.state.profile.macros.filter((m) => m.slot < caps.macros.slots);
  // A device may play a macro only some ways (only once, on some).
  const repeats = caps.macros.repeat;
  const playable = (m) => (repeats.includes(m.repeat) ? m.repeat : repeats[0] ?? 0);
  const macro = b ? macros.find((m) => m.slot === b.p1) : null;
  const macroSel = select({
    key: 'assign:macro', label: t('assign.macro'), value: b ? b.p1 : '',
    options: [...(b ? [] : [choose]), ...macros.map((m) => ({ value: m.slot, label: `${m.slot + 1}. ${shownMacroName(m.name)}` })),
      ...(!b || macro ? [] : [{ value: b.p1, label: t('macros.emptySlot', { n: b.p1 + 1 }) }])],
    onChange: (v) => {
      const m = macros.find((x) => x.slot === Number(v));
      if (m) assign({ type: ACTION.MACRO, p1: m.slot, p2: playable(m), p3: playable(m) === REPEAT.COUNT ? m.count : 0 });
    },
  });
  if (!b) return field(t('assign.macro'), macroSel);
  // A button that runs an empty slot has no macro to keep the setting.
  const setRepeat = (repeat, count) => (macro
    ? app.macros.setRepeat(macro.slot, repeat, count)
    : assign({ type: ACTION.MACRO, p1: b.p1, p2: repeat, p3: repeat === REPEAT.COUNT ? count : 0 }));
  const repeatSel = repeats.length > 1 ? select({
    key: 'assign:repeat', label: t('macros.repeat'), value: b.p2,
    options: repeats.map((v) => ({ value: v, label: t(`repeat.${v}`) })),
    onChange: (v) => setRepeat(Number(v), Math.max(1, b.p3 || macro?.count || 1)),
  }) : null;
  const count = b.p2 === REPEAT.COUNT ? field(t('macros.count'), h('input', {
    type: 'number', min: 1, max: MAX_REPEAT_COUNT, value: b.p3, 'data-key': 'assign:count', 'aria-label': t('macros.count'),
    onchange: (e) => {
      const times = readRepeatCount(e.target.value);
      if (times === null) e.target.value = b.p3;
      else setRepeat(REPEAT.COUNT, times);
    },
  })) : null;
  return h('div', {},
    field(t('assign.macro'), macroSel),
    repeatSel ? field(t('macros.repeat'), repeatSel, macro ? t('assign.repeatShared') : null) : h('p', { class: 'hint' }, t('assign.playsOnce')), count,
    h('button', { type: 'button', class: 'btn link', onclick: () => { app.state.selectedSlot = b.p1; ui.go('macros'); } }, t('assign.editMacro')));
}
