// DPI stages, polling rate, the sensor settings and the onboard profiles of
// the shown mouse: only what its description says it has, with its ranges.
import { t, formatNumber, formatUnit, sentences } from '../i18n.js';
import { CLASSIC_CAPS, dpiAllowed, dpiChoices, dpiRange, fitsClassicLayout, has, snapDpi } from '../caps.js';
import {
  DPI_SLIDER_POSITIONS, DPI_STEP, FACTORY_STAGE_COLOURS, FACTORY_STAGE_DPI, PROP, dpiAfterKey, dpiFromSliderPosition,
  readDpiEntry, sliderPositionFromDpi,
} from '../devicemap.js';
import { PROP_DEFAULT_STAGE, PROP_DISABLED_STAGES } from '../devicesettings.js';
import { card, field, h, segmented, select, slider, toggle } from './dom.js';
import { icon } from './icons.js';

export function renderPerformance(app) {
  const caps = app.device.caps ?? CLASSIC_CAPS;
  const p = app.shown.performance;
  const change = (fn, props) => app.modes.change((m) => fn(m.performance), props);
  // A device with one DPI value (or none it takes from the page) shows it, fixed.
  const range = [dpiRange(caps)].find((r) => r && r.max > r.min) ?? null;
  const dpi = dpiControls(caps, range);
  const countFixed = !has(caps, PROP.STAGE_COUNT) || caps.stages.min === caps.stages.max;
  // One stage the mouse cannot add to: nothing to pick as active or as the
  // default, and no stages to step through.
  const oneStage = countFixed && p.stageCount === 1;
  const withDefault = caps.stages.default && !oneStage;

  // The classic mouse's rows have the style sheet's columns; another device's
  // have a column for each control it has.
  const columns = fitsClassicLayout(caps) ? null : { gridTemplateColumns: [
    'minmax(96px, auto)', caps.stages.colours ? '40px' : null, range ? '1fr' : null, range ? '84px' : '1fr', '30px',
    withDefault ? 'auto' : null, caps.stages.disable ? 'auto' : null, countFixed ? null : '30px'].filter(Boolean).join(' ') };
  // What the screen says about the last DPI typed (kept until the screen changes).
  const view = app.state.view;
  const setDpi = (i, v) => {
    if (v !== p.stages[i].dpi) change((pp) => { pp.stages[i].dpi = v; }, [PROP.STAGE_DPI]);
    else app.update();
  };
  const dpiText = (v) => `${formatNumber(v)} ${t('unit.dpi')}`;

  const rows = [];
  for (let i = 0; i < p.stageCount; i++) {
    const st = p.stages[i];
    const active = i === p.activeStage;
    const isDefault = caps.stages.default && p.defaultStage === i;
    // A stage at 0 DPI is switched off on the mouse: it can be neither the
    // stage in use nor the one the mouse starts with (a DPI typed turns it on).
    const off = st.dpi === 0;
    const num = range ? h('input', {
      type: 'number', class: 'dpi-number', min: range.min, max: range.max, step: range.step || 1, value: st.dpi,
      'data-key': `dpi-num:${i}`, 'aria-label': t('perf.stageDpi', { n: i + 1 }),
      onchange: (e) => {
        // An emptied field (or one without a number) puts the stage's value back.
        const entry = dpi.entry(e.target.value);
        view.dpiNote = entry?.reason ? { ...entry, stage: i } : null;
        e.target.value = entry ? entry.value : st.dpi;
        setDpi(i, entry ? entry.value : st.dpi);
      },
    }) : h('span', { class: 'dpi-fixed' }, formatNumber(st.dpi));
    const slide = (v) => { view.dpiNote = null; setDpi(i, v); };
    const slider = range ? h('input', {
      type: 'range', class: 'dpi-range', min: 0, max: DPI_SLIDER_POSITIONS, step: 1, value: dpi.position(st.dpi),
      'data-key': `dpi-range:${i}`, 'aria-label': t('perf.stageDpi', { n: i + 1 }), 'aria-valuetext': dpiText(st.dpi),
      oninput: (e) => {
        const v = dpi.fromPosition(e.target.value);
        num.value = v;
        e.target.setAttribute('aria-valuetext', dpiText(v));
      },
      onchange: (e) => slide(dpi.fromPosition(e.target.value)),
      // Keys step through DPI values, not slider positions (on a logarithmic
      // scale one position is less than a step at the low end).
      onkeydown: (e) => {
        const v = dpi.afterKey(st.dpi, e.key);
        if (v === null) return;
        e.preventDefault();
        slide(v);
      },
    }) : null;
    rows.push(h('div', { class: 'stage-row' + (active ? ' active' : ''), 'data-stage': i, style: columns },
      h('label', { class: 'stage-pick', title: oneStage ? null : t('perf.makeActive') },
        oneStage ? null : h('input', {
          type: 'radio', name: 'active-stage', checked: active, disabled: off && !active, 'data-key': `stage-active:${i}`,
          'aria-label': t('perf.makeActiveN', { n: i + 1 }),
          onchange: () => change((pp) => { pp.activeStage = i; }, [PROP.ACTIVE_STAGE]),
        }),
        // The stage's colour, on a mouse whose stages have one.
        caps.stages.colours ? h('span', { class: 'stage-dot', style: { background: st.color ?? 'var(--accent)' } }) : null,
        h('span', { class: 'stage-name' }, t('perf.stage', { n: i + 1 }))),
      caps.stages.colours ? h('input', {
        type: 'color', class: 'stage-colour', value: st.color, 'data-key': `stage-colour:${i}`,
        'aria-label': t('perf.stageColour', { n: i + 1 }),
        onchange: (e) => change((pp) => { pp.stages[i].color = e.target.value.toLowerCase(); }, [PROP.STAGE_COLOUR]),
      }) : null,
      slider, num, h('span', { class: 'unit' }, t('unit.dpi')),
      withDefault ? h('button', {
        type: 'button', class: 'btn small twin-label' + (isDefault ? ' on' : ''), 'data-key': `stage-default:${i}`, 'aria-pressed': isDefault ? 'true' : 'false',
        disabled: off && !isDefault,
        title: t('perf.defaultStageHint'), onclick: () => { if (!isDefault) change((pp) => { pp.defaultStage = i; }, [PROP_DEFAULT_STAGE]); },
      }, twinLabel(t(isDefault ? 'perf.defaultStage' : 'perf.makeDefault'), t(isDefault ? 'perf.makeDefault' : 'perf.defaultStage'))) : null,
      // A stage the device may leave out of its cycle (never the active one).
      caps.stages.disable ? h('label', { class: 'check', title: t('perf.stageInUseHint') },
        h('input', {
          type: 'checkbox', checked: !(p.disabledStages & (1 << i)), disabled: active, 'data-key': `stage-enabled:${i}`,
          'aria-label': t('perf.stageInUseN', { n: i + 1 }),
          onchange: (e) => change((pp) => { pp.disabledStages = e.target.checked ? pp.disabledStages & ~(1 << i) : pp.disabledStages | (1 << i); }, [PROP_DISABLED_STAGES]),
        }), t('perf.stageInUse')) : null,
      countFixed ? null : h('button', {
        type: 'button', class: 'icon-btn', disabled: p.stageCount <= caps.stages.min, 'data-key': `stage-remove:${i}`,
        'aria-label': t('perf.removeStage', { n: i + 1 }), title: t('perf.removeStage', { n: i + 1 }),
        onclick: () => app.modes.changeUndoable('performance', (m) => removeStage(m.performance, i, caps),
          [PROP.STAGE_DPI, PROP.STAGE_COLOUR, PROP.ACTIVE_STAGE, PROP.STAGE_COUNT], 'perf.undoRemoveStage', { n: i + 1 }),
      }, icon('trash'))));
  }

  const add = countFixed ? null : h('button', {
    type: 'button', class: 'btn', disabled: p.stageCount >= caps.stages.max, 'data-key': 'stage-add',
    onclick: () => change((pp) => addStage(pp, caps), [PROP.STAGE_DPI, PROP.STAGE_COLOUR, PROP.STAGE_COUNT]),
  }, icon('plus'), t('perf.addStage'));

  const rates = has(caps, PROP.POLLING) ? caps.reportRates : [];
  // The hint names the fastest rate written as its choice is; a mouse with
  // one rate has nothing to choose.
  const fastestRate = rates.length ? t('unit.hz', { n: Math.max(...rates.map((r) => r.hz)) }) : '';
  const pollingHint = rates.length > 1 ? t('perf.pollingHint', { rate: fastestRate }) : t('perf.pollingOne', { rate: fastestRate });
  const dpiHint = range ? t(oneStage ? 'perf.dpiHintOne' : 'perf.dpiHint') : t(oneStage ? 'perf.dpiFixedOne' : 'perf.dpiFixed');

  const sensor = [
    has(caps, PROP.LIFT_OFF) && caps.liftOff.length ? h('div', { class: 'field' }, h('span', { class: 'field-label' }, t('perf.liftOff')),
      segmented({
        key: 'liftoff', label: t('perf.liftOff'), value: p.liftOff,
        options: caps.liftOff.map((v) => ({ value: v, label: formatUnit(v, 'millimeter') })),
        onPick: (v) => change((pp) => { pp.liftOff = v; }, [PROP.LIFT_OFF]),
      })) : null,
    caps.angleSnap ? toggle({ key: 'angle', label: t('perf.angleSnap'), value: p.angleSnap === 1,
      onChange: (v) => change((pp) => { pp.angleSnap = v ? 1 : 0; }, [PROP.ANGLE_SNAP]) }) : null,
    caps.motionSync ? toggle({ key: 'motion', label: t('perf.motionSync'), value: p.motionSync === 1,
      onChange: (v) => change((pp) => { pp.motionSync = v ? 1 : 0; }, [PROP.MOTION_SYNC]) }) : null,
    has(caps, PROP.DEBOUNCE) && caps.debounce.length ? debounceControl(caps.debounce, p.debounce, (v) => change((pp) => { pp.debounce = v; }, [PROP.DEBOUNCE])) : null,
  ].filter(Boolean);

  return h('div', { class: 'screen-grid two' },
    card(t('perf.dpiTitle'),
      h('p', { class: 'hint' }, sentences(dpiHint, range ? dpiRangeText(range) : '')),
      h('div', { class: 'stages', role: oneStage ? null : 'radiogroup', 'aria-label': t('perf.dpiTitle') }, rows),
      // The note comes last, so nothing above it moves when it appears.
      h('div', { class: 'card-actions' }, add, countFixed ? null : h('span', { class: 'hint' }, t('perf.stageCount', { n: p.stageCount, max: caps.stages.max })),
        h('p', { class: 'hint warn', id: 'dpi-note', role: 'status' }, dpiNoteText(view.dpiNote, range)))),
    h('div', { class: 'stack' },
      onboardProfiles(app, caps),
      rates.length ? card(t('perf.pollingTitle'),
        segmented({
          key: 'polling', label: t('perf.pollingTitle'), value: p.pollingRate,
          options: rates.map((r) => ({ value: r.value, label: t('unit.hz', { n: r.hz }) })),
          onPick: (v) => change((pp) => { pp.pollingRate = v; }, [PROP.POLLING]),
        }),
        h('p', { class: 'hint' }, pollingHint)) : null,
      sensor.length ? card(t('perf.sensorTitle'), sensor) : null,
      powerCard(app, caps)));
}

// The mouse's own power settings, outside the modes (written at once): how long
// it waits idle before it sleeps, and the level at which it shows its own
// low-battery warning. A value the device cannot say is shown as not known.
const IDLE_CHOICES = [60, 120, 180, 300, 600, 900];
const LOW_CHOICES = [5, 10, 15, 20, 25];
function powerCard(app, caps) {
  if (!caps.idle && !caps.lowBattery) return null;
  const own = app.state.ownSettings ?? {};
  const choices = (list, range, value, label) => {
    const values = list.filter((v) => v >= range.min && v <= range.max);
    if (value && !values.includes(value)) values.push(value);
    values.sort((a, b) => a - b);
    const options = values.map((v) => ({ value: String(v), label: label(v) }));
    if (!value) options.unshift({ value: '', label: t('perf.notKnown') });
    return options;
  };
  const idle = caps.idle && own.idle !== undefined ? field(t('perf.idle'), select({
    key: 'power:idle', label: t('perf.idle'), value: own.idle ? String(own.idle) : '',
    options: choices(IDLE_CHOICES, caps.idle, own.idle, (v) => t('unit.minutes', { n: formatNumber(v / 60) })),
    onChange: (v) => { if (v) app.device.setOwnSetting('idle', Number(v)); },
  }), t('perf.idleHint')) : null;
  const low = caps.lowBattery && own.lowBattery !== undefined ? field(t('perf.lowBattery'), select({
    key: 'power:low', label: t('perf.lowBattery'), value: own.lowBattery ? String(own.lowBattery) : '',
    options: choices(LOW_CHOICES, caps.lowBattery, own.lowBattery, (v) => formatUnit(v, 'percent')),
    onChange: (v) => { if (v) app.device.setOwnSetting('lowBattery', Number(v)); },
  }), t('perf.lowBatteryHint')) : null;
  return idle || low ? card(t('perf.powerTitle'), idle, low) : null;
}

// The debounce time: a slider over an even run of milliseconds (the
// classic mouse's 2 to 16), else a choice of the device's own values.
function debounceControl(list, value, onPick) {
  const even = list.every((v, i) => i === 0 || v === list[i - 1] + 1);
  if (even && list.length > 1) {
    return slider({ key: 'debounce', label: t('perf.debounce'), min: list[0], max: list[list.length - 1], value,
      format: (v) => formatUnit(v, 'millisecond'), onCommit: onPick });
  }
  return h('div', { class: 'field' }, h('span', { class: 'field-label' }, t('perf.debounce')),
    segmented({ key: 'debounce', label: t('perf.debounce'), value, options: list.map((v) => ({ value: v, label: formatUnit(v, 'millisecond') })), onPick }));
}

// The mouse's own profiles (its onboard memory), when it has several: which
// one is active (kelv's modes are written into it), which are enabled, and
// their names where the mouse keeps them (editable where it lets them change).
function onboardProfiles(app, caps) {
  const ob = app.state.onboard;
  if (!ob) return null;
  const label = (i) => (ob.names?.[i] ? `${formatNumber(i + 1)} · ${ob.names[i]}` : formatNumber(i + 1));
  const pick = segmented({
    key: 'onboard', label: t('perf.onboardTitle'), value: ob.active,
    options: ob.enabled.map((on, i) => ({ value: i, label: label(i), disabled: !on })),
    onPick: (v) => app.device.setOnboardProfile(v),
  });
  const enable = caps.profiles.disable ? h('div', { class: 'onboard-enabled' }, ob.enabled.map((on, i) => toggle({
    key: `onboard-enabled:${i}`, label: t('perf.onboardEnabled', { n: i + 1 }), value: on, disabled: i === ob.active,
    onChange: (v) => app.device.setOnboardEnabled(i, v),
  }))) : null;
  const names = caps.profiles.rename.length ? h('div', { class: 'onboard-names' }, caps.profiles.rename.map((i) => h('label', { class: 'field' },
    h('span', { class: 'field-label' }, t('perf.onboardName', { n: formatNumber(i + 1) })),
    h('input', {
      type: 'text', maxlength: 40, value: ob.names?.[i] ?? '', 'data-key': `onboard-name:${i}`,
      onchange: (e) => app.device.setOnboardName(i, e.target.value),
    })))) : null;
  return card(t('perf.onboardTitle'), h('p', { class: 'hint' }, t('perf.onboardHint')), pick, enable, names);
}

// A label that takes the room of the longer of it and its other state's, so
// the button keeps its width (and the stage's columns their place) when it
// changes; the other one is neither seen nor read out (class twin-label on
// the button).
function twinLabel(shown, other) {
  return [h('span', {}, shown), h('span', { class: 'twin', 'aria-hidden': 'true' }, other)];
}

// Why a typed DPI was changed: "Stage 2: 1234 DPI is not a step of 50, so it
// was set to 1250 DPI."
function dpiNoteText(note, range) {
  if (!note) return '';
  const reason = note.reason === 'step' && !range?.step ? 'list' : note.reason;
  return t(`perf.dpiAdjusted.${reason}`, { n: note.stage + 1, asked: note.asked, value: note.value, step: range?.step || DPI_STEP });
}

// "Each stage: 100 to 26,000 DPI in steps of 50."; a device whose values do
// not go in one even step offers the ones it has.
function dpiRangeText(range) {
  return range.step ? t('perf.dpiRange', { min: range.min, max: range.max, step: range.step })
    : t('perf.dpiRangeList', { min: range.min, max: range.max });
}

// The DPI field, slider and keys over the device's own values: the classic
// mouse's as the device map has them; another device's from its description
// (a logarithmic slider over its range, values snapped to the ones it offers,
// keys moving to its next value).
export function dpiControls(caps, range) {
  if (fitsClassicLayout(caps)) {
    return { entry: readDpiEntry, position: sliderPositionFromDpi, fromPosition: dpiFromSliderPosition, afterKey: dpiAfterKey };
  }
  const lo = range?.min ?? 1;
  const hi = range?.max ?? lo;
  const list = dpiChoices(caps, 2000);
  const next = (v, by) => {
    if (list) {
      const at = list.indexOf(snapDpi(caps, v));
      return list[Math.min(list.length - 1, Math.max(0, at + by))];
    }
    return snapDpi(caps, v + by);
  };
  return {
    entry(text) {
      const str = String(text ?? '').trim();
      const asked = str === '' ? NaN : Number(str);
      if (!Number.isFinite(asked)) return null;
      const value = snapDpi(caps, asked);
      const reason = asked < lo ? 'min' : asked > hi ? 'max' : value !== asked ? 'step' : '';
      return { asked, value, reason };
    },
    position: (v) => (hi > lo ? Math.round((DPI_SLIDER_POSITIONS * Math.log(Math.min(hi, Math.max(lo, v)) / lo)) / Math.log(hi / lo)) : 0),
    fromPosition: (pos) => snapDpi(caps, lo * (hi / lo) ** Math.min(1, Math.max(0, Number(pos) / DPI_SLIDER_POSITIONS))),
    afterKey(v, key) {
      const by = { ArrowRight: 1, ArrowUp: 1, ArrowLeft: -1, ArrowDown: -1, PageUp: 10, PageDown: -10 }[key];
      if (by !== undefined) return next(v, by);
      if (key === 'Home') return snapDpi(caps, lo);
      if (key === 'End') return snapDpi(caps, hi);
      return null;
    },
  };
}

// Removes stage i: later stages move up, the freed place takes the factory
// values (the last stage's on devices without them), and the active and
// default stages follow their stage (or the one before).
export function removeStage(p, i, caps = CLASSIC_CAPS) {
  if (p.stageCount <= caps.stages.min) return;
  const last = p.stages.length - 1;
  p.stages.splice(i, 1);
  const freed = caps.stages.colours ? { dpi: FACTORY_STAGE_DPI[last % 8], color: FACTORY_STAGE_COLOURS[last % 8] } : { ...p.stages[last - 1] };
  if (!dpiAllowed(caps, freed.dpi)) freed.dpi = snapDpi(caps, freed.dpi);
  p.stages.push(freed);
  p.stageCount -= 1;
  if (p.activeStage > i || p.activeStage >= p.stageCount) p.activeStage = Math.max(0, p.activeStage - 1);
  if (p.defaultStage !== undefined && (p.defaultStage > i || p.defaultStage >= p.stageCount)) p.defaultStage = Math.max(0, p.defaultStage - 1);
}

// Adds a stage after the last one, twice its DPI where the device allows.
export function addStage(p, caps = CLASSIC_CAPS) {
  if (p.stageCount >= caps.stages.max) return;
  const last = p.stages[p.stageCount - 1];
  p.stages[p.stageCount] = { ...p.stages[p.stageCount], dpi: snapDpi(caps, last.dpi * 2) };
  p.stageCount += 1;
}
