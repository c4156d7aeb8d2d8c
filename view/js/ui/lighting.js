// Lighting of the shown mouse in the active mode: for each of its LEDs the
// effects it offers, colour (as its colour depth allows), brightness, and
// speed or effect duration.
import { t, formatUnit } from '../i18n.js';
import { CLASSIC_CAPS, effectMoves, effectUsesColour } from '../caps.js';
import { PROP } from '../devicemap.js';
import { ledsOf } from '../devicesettings.js';
import { isHexColour } from '../bytes.js';
import { card, field, h, segmented, slider } from './dom.js';

export const SWATCHES = ['#39a7da', '#ff3b3b', '#ff8000', '#ffd400', '#3ddc84', '#00e5ff', '#4f6bff', '#b04dff', '#ff4fa3', '#ffffff'];
// An LED with one bit per colour shows these alone.
export const SWATCHES_RGB111 = ['#ff0000', '#00ff00', '#0000ff', '#ffff00', '#ff00ff', '#00ffff', '#ffffff'];
const DURATION_STEP = 100;

export function renderLighting(app) {
  const caps = app.device.caps ?? CLASSIC_CAPS;
  const leds = ledsOf(app.shown.lighting);
  if (!caps.lighting.leds.length || !leds.length) {
    return h('div', { class: 'empty' }, h('h2', {}, t('light.none')), h('p', {}, t('light.noneHint')));
  }
  const index = Math.min(app.state.selectedLed ?? 0, leds.length - 1);
  const l = leds[index];
  const ledCaps = caps.lighting.leds[index];
  const change = (fn) => app.modes.change((m) => fn(ledsOf(m.lighting)[index]), [PROP.LIGHTING]);
  const colourKind = ledCaps.colour;
  const usesColour = effectUsesColour(l.effect) && colourKind !== 'none';
  const moves = effectMoves(l.effect);
  const stage = app.shown.performance.stages[app.shown.performance.activeStage];
  const stageColour = stage?.color ?? l.color;
  const shown = l.effect === 6 ? stageColour : l.color;
  const longRecord = caps.lighting.record === 8;

  const chooser = leds.length > 1 ? segmented({
    key: 'led', label: t('light.led'), value: index,
    options: leds.map((_, i) => ({ value: i, label: t('light.ledN', { n: i + 1 }) })),
    onPick: (v) => { app.state.selectedLed = v; app.update(); },
  }) : null;

  // A light that is off shows each effect in the colour it would get (lightUp).
  const previewColour = l.effect === 0 && l.color === '#000000' ? (colourKind === 'rgb111' ? SWATCHES_RGB111 : SWATCHES)[0] : l.color;
  const effects = h('div', { class: 'effects', role: 'radiogroup', 'aria-label': t('light.effect') }, ledCaps.effects.map((e) => h('button', {
    type: 'button', role: 'radio', 'aria-checked': e === l.effect ? 'true' : 'false', class: 'effect' + (e === l.effect ? ' on' : ''),
    'data-key': `effect:${e}`, onclick: () => { if (e !== l.effect) change((x) => lightUp(x, e, colourKind)); },
  }, h('span', { class: `effect-preview fx-${e}`, style: { '--c': e === 6 ? stageColour : previewColour } }), h('span', {}, t(`effect.${e}`)))));

  const swatches = colourKind === 'rgb111' ? SWATCHES_RGB111 : SWATCHES;
  const setColour = (c) => { if (isHexColour(c) && c.toLowerCase() !== l.color) change((x) => { x.color = c.toLowerCase(); }); };
  const colour = h('div', { class: 'colour-row' + (usesColour ? '' : ' muted') },
    h('div', { class: 'swatches' }, swatches.map((c) => h('button', {
      type: 'button', class: 'swatch' + (c === l.color ? ' on' : ''), style: { background: c }, disabled: !usesColour,
      'data-key': `swatch:${c}`, 'aria-label': c, title: c, onclick: () => setColour(c),
    }))),
    colourKind === 'rgb' ? [
      h('input', { type: 'color', value: l.color, disabled: !usesColour, 'data-key': 'light:colour', 'aria-label': t('light.colour'), onchange: (e) => setColour(e.target.value) }),
      h('input', { type: 'text', class: 'hex', value: l.color, maxlength: 7, disabled: !usesColour, 'data-key': 'light:hex', 'aria-label': t('light.hex'),
        onchange: (e) => { const v = e.target.value.trim(); const c = v.startsWith('#') ? v : `#${v}`; if (isHexColour(c)) setColour(c); else { e.target.value = l.color; app.error('light.badColour'); } } }),
    ] : null);

  const [dMin, dMax] = ledCaps.duration ?? [0, 0];
  const motion = longRecord
    ? slider({ key: 'light:duration', label: t('light.duration'), min: dMin, max: dMax, step: DURATION_STEP, value: l.duration, disabled: !moves,
      format: (v) => formatUnit(v, 'millisecond'), onCommit: (v) => change((x) => { x.duration = v; }) })
    : slider({ key: 'light:speed', label: t('light.speed'), min: 1, max: 10, value: l.speed, disabled: !moves,
      onCommit: (v) => change((x) => { x.speed = v; }) });

  const colourHint = colourKind === 'none' ? t('light.colourFixed') : l.effect === 0 ? t('light.colourOff') : usesColour ? null : t('light.colourUnused');
  return h('div', { class: 'screen-grid two' },
    card(t('light.effect'), chooser, effects,
      h('div', { class: 'light-preview' },
        h('div', { class: `glow fx-${l.effect}`, style: { '--c': shown, '--b': String(l.brightness / 100), '--s': `${(11 - l.speed) * 0.35}s` } }),
        h('p', { class: 'hint' }, t(`effect.${l.effect}.hint`, {}, '')))),
    card(t('light.settings'),
      field(t('light.colour'), colour, colourHint),
      slider({ key: 'light:brightness', label: t('light.brightness'), min: 0, max: 100, value: l.brightness, disabled: l.effect === 0,
        format: (v) => formatUnit(v, 'percent'), onCommit: (v) => change((x) => { x.brightness = v; }) }),
      motion,
      moves ? null : h('p', { class: 'hint' }, t('light.speedUnused'))));
}

// Sets an LED's effect. An LED that was off reads black at 0 % on many mice:
// an effect chosen for it gets a colour and brightness that light it (the
// first swatch, full brightness) instead of staying dark.
export function lightUp(led, effect, colourKind = 'rgb') {
  const wasOff = led.effect === 0;
  led.effect = effect;
  if (!wasOff || effect === 0) return;
  if (!(led.brightness > 0)) led.brightness = 100;
  if (effectUsesColour(effect) && colourKind !== 'none' && led.color === '#000000') {
    led.color = (colourKind === 'rgb111' ? SWATCHES_RGB111 : SWATCHES)[0];
  }
}
