// Lighting of the active mode: effect, colour, brightness, speed.
import { t, formatUnit } from '../i18n.js';
import { EFFECTS, PROP, effectUsesColour, effectUsesSpeed } from '../devicemap.js';
import { isHexColour } from '../bytes.js';
import { card, field, h, slider } from './dom.js';

export const SWATCHES = ['#39a7da', '#ff3b3b', '#ff8000', '#ffd400', '#3ddc84', '#00e5ff', '#4f6bff', '#b04dff', '#ff4fa3', '#ffffff'];

export function renderLighting(app) {
  const l = app.mode.lighting;
  const change = (fn) => app.modes.change((m) => fn(m.lighting), [PROP.LIGHTING]);
  const usesColour = effectUsesColour(l.effect);
  const usesSpeed = effectUsesSpeed(l.effect);
  const stageColour = app.mode.performance.stages[app.mode.performance.activeStage]?.color ?? l.color;
  const shown = l.effect === 6 ? stageColour : l.color;

  const effects = h('div', { class: 'effects', role: 'radiogroup', 'aria-label': t('light.effect') }, EFFECTS.map((e) => h('button', {
    type: 'button', role: 'radio', 'aria-checked': e === l.effect ? 'true' : 'false', class: 'effect' + (e === l.effect ? ' on' : ''),
    'data-key': `effect:${e}`, onclick: () => { if (e !== l.effect) change((x) => { x.effect = e; }); },
  }, h('span', { class: `effect-preview fx-${e}`, style: { '--c': e === 6 ? stageColour : l.color } }), h('span', {}, t(`effect.${e}`)))));

  const setColour = (c) => { if (isHexColour(c) && c.toLowerCase() !== l.color) change((x) => { x.color = c.toLowerCase(); }); };
  const colour = h('div', { class: 'colour-row' + (usesColour ? '' : ' muted') },
    h('div', { class: 'swatches' }, SWATCHES.map((c) => h('button', {
      type: 'button', class: 'swatch' + (c === l.color ? ' on' : ''), style: { background: c }, disabled: !usesColour,
      'data-key': `swatch:${c}`, 'aria-label': c, title: c, onclick: () => setColour(c),
    }))),
    h('input', { type: 'color', value: l.color, disabled: !usesColour, 'data-key': 'light:colour', 'aria-label': t('light.colour'), onchange: (e) => setColour(e.target.value) }),
    h('input', { type: 'text', class: 'hex', value: l.color, maxlength: 7, disabled: !usesColour, 'data-key': 'light:hex', 'aria-label': t('light.hex'),
      onchange: (e) => { const v = e.target.value.trim(); const c = v.startsWith('#') ? v : `#${v}`; if (isHexColour(c)) setColour(c); else { e.target.value = l.color; app.error('light.badColour'); } } }));

  return h('div', { class: 'screen-grid two' },
    card(t('light.effect'), effects,
      h('div', { class: 'light-preview' },
        h('div', { class: `glow fx-${l.effect}`, style: { '--c': shown, '--b': String(l.brightness / 100), '--s': `${(11 - l.speed) * 0.35}s` } }),
        h('p', { class: 'hint' }, t(`effect.${l.effect}.hint`)))),
    card(t('light.settings'),
      field(t('light.colour'), colour, usesColour ? null : t('light.colourUnused')),
      slider({ key: 'light:brightness', label: t('light.brightness'), min: 0, max: 100, value: l.brightness, disabled: l.effect === 0,
        format: (v) => formatUnit(v, 'percent'), onCommit: (v) => change((x) => { x.brightness = v; }) }),
      slider({ key: 'light:speed', label: t('light.speed'), min: 1, max: 10, value: l.speed, disabled: !usesSpeed,
        onCommit: (v) => change((x) => { x.speed = v; }) }),
      usesSpeed ? null : h('p', { class: 'hint' }, t('light.speedUnused'))));
}
