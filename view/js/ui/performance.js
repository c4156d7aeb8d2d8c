// DPI stages, polling rate and the sensor settings of the active mode.
import { t, formatNumber, formatUnit } from '../i18n.js';
import {
  DEBOUNCE_MAX, DEBOUNCE_MIN, DPI_MAX, DPI_MIN, DPI_SLIDER_POSITIONS, DPI_STEP, FACTORY_STAGE_COLOURS, FACTORY_STAGE_DPI,
  LIFT_OFF, MAX_STAGES, POLLING_RATES, PROP, clampDpi, dpiAfterKey, dpiFromSliderPosition, readDpiEntry, sliderPositionFromDpi,
} from '../devicemap.js';
import { card, h, segmented, slider, toggle } from './dom.js';
import { icon } from './icons.js';

export function renderPerformance(app) {
  const mode = app.mode;
  const p = mode.performance;
  const change = (fn, props) => app.modes.change((m) => fn(m.performance), props);

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
    const num = h('input', {
      type: 'number', class: 'dpi-number', min: DPI_MIN, max: DPI_MAX, step: DPI_STEP, value: st.dpi,
      'data-key': `dpi-num:${i}`, 'aria-label': t('perf.stageDpi', { n: i + 1 }),
      onchange: (e) => {
        // An emptied field (or one without a number) puts the stage's value back.
        const entry = readDpiEntry(e.target.value);
        view.dpiNote = entry?.reason ? { ...entry, stage: i } : null;
        e.target.value = entry ? entry.value : st.dpi;
        setDpi(i, entry ? entry.value : st.dpi);
      },
    });
    const slide = (v) => { view.dpiNote = null; setDpi(i, v); };
    const range = h('input', {
      type: 'range', class: 'dpi-range', min: 0, max: DPI_SLIDER_POSITIONS, step: 1, value: sliderPositionFromDpi(st.dpi),
      'data-key': `dpi-range:${i}`, 'aria-label': t('perf.stageDpi', { n: i + 1 }), 'aria-valuetext': dpiText(st.dpi),
      oninput: (e) => {
        const v = dpiFromSliderPosition(e.target.value);
        num.value = v;
        e.target.setAttribute('aria-valuetext', dpiText(v));
      },
      onchange: (e) => slide(dpiFromSliderPosition(e.target.value)),
      // Keys step through DPI values, not slider positions (on a logarithmic
      // scale one position is less than a step at the low end).
      onkeydown: (e) => {
        const v = dpiAfterKey(st.dpi, e.key);
        if (v === null) return;
        e.preventDefault();
        slide(v);
      },
    });
    rows.push(h('div', { class: 'stage-row' + (active ? ' active' : ''), 'data-stage': i },
      h('label', { class: 'stage-pick', title: t('perf.makeActive') },
        h('input', {
          type: 'radio', name: 'active-stage', checked: active, 'data-key': `stage-active:${i}`,
          'aria-label': t('perf.makeActiveN', { n: i + 1 }),
          onchange: () => change((pp) => { pp.activeStage = i; }, [PROP.ACTIVE_STAGE]),
        }),
        h('span', { class: 'stage-dot', style: { background: st.color } }),
        h('span', { class: 'stage-name' }, t('perf.stage', { n: i + 1 }))),
      h('input', {
        type: 'color', class: 'stage-colour', value: st.color, 'data-key': `stage-colour:${i}`,
        'aria-label': t('perf.stageColour', { n: i + 1 }),
        onchange: (e) => change((pp) => { pp.stages[i].color = e.target.value.toLowerCase(); }, [PROP.STAGE_COLOUR]),
      }),
      range, num, h('span', { class: 'unit' }, t('unit.dpi')),
      h('button', {
        type: 'button', class: 'icon-btn', disabled: p.stageCount <= 1, 'data-key': `stage-remove:${i}`,
        'aria-label': t('perf.removeStage', { n: i + 1 }), title: t('perf.removeStage', { n: i + 1 }),
        onclick: () => app.modes.changeUndoable('performance', (m) => removeStage(m.performance, i),
          [PROP.STAGE_DPI, PROP.STAGE_COLOUR, PROP.ACTIVE_STAGE, PROP.STAGE_COUNT], 'perf.undoRemoveStage', { n: i + 1 }),
      }, icon('trash'))));
  }

  const add = h('button', {
    type: 'button', class: 'btn', disabled: p.stageCount >= MAX_STAGES, 'data-key': 'stage-add',
    onclick: () => change((pp) => addStage(pp), [PROP.STAGE_DPI, PROP.STAGE_COLOUR, PROP.STAGE_COUNT]),
  }, icon('plus'), t('perf.addStage'));

  // The hint names the fastest rate written as its choice is.
  const fastestRate = t('unit.hz', { n: Math.max(...POLLING_RATES.map((r) => r.hz)) });

  return h('div', { class: 'screen-grid two' },
    card(t('perf.dpiTitle'),
      h('p', { class: 'hint' }, t('perf.dpiHint'), ' ', t('perf.dpiRange', { min: DPI_MIN, max: DPI_MAX, step: DPI_STEP })),
      h('div', { class: 'stages', role: 'radiogroup', 'aria-label': t('perf.dpiTitle') }, rows),
      // The note comes last, so nothing above it moves when it appears.
      h('div', { class: 'card-actions' }, add, h('span', { class: 'hint' }, t('perf.stageCount', { n: p.stageCount, max: MAX_STAGES })),
        h('p', { class: 'hint warn', id: 'dpi-note', role: 'status' }, dpiNoteText(view.dpiNote)))),
    h('div', { class: 'stack' },
      card(t('perf.pollingTitle'),
        segmented({
          key: 'polling', label: t('perf.pollingTitle'), value: p.pollingRate,
          options: POLLING_RATES.map((r) => ({ value: r.value, label: t('unit.hz', { n: r.hz }) })),
          onPick: (v) => change((pp) => { pp.pollingRate = v; }, [PROP.POLLING]),
        }),
        h('p', { class: 'hint' }, t('perf.pollingHint', { rate: fastestRate }))),
      card(t('perf.sensorTitle'),
        h('div', { class: 'field' }, h('span', { class: 'field-label' }, t('perf.liftOff')),
          segmented({
            key: 'liftoff', label: t('perf.liftOff'), value: p.liftOff,
            options: LIFT_OFF.map((v) => ({ value: v, label: formatUnit(v, 'millimeter') })),
            onPick: (v) => change((pp) => { pp.liftOff = v; }, [PROP.LIFT_OFF]),
          })),
        toggle({ key: 'angle', label: t('perf.angleSnap'), value: p.angleSnap === 1,
          onChange: (v) => change((pp) => { pp.angleSnap = v ? 1 : 0; }, [PROP.ANGLE_SNAP]) }),
        toggle({ key: 'motion', label: t('perf.motionSync'), value: p.motionSync === 1,
          onChange: (v) => change((pp) => { pp.motionSync = v ? 1 : 0; }, [PROP.MOTION_SYNC]) }),
        slider({ key: 'debounce', label: t('perf.debounce'), min: DEBOUNCE_MIN, max: DEBOUNCE_MAX, value: p.debounce,
          format: (v) => formatUnit(v, 'millisecond'), onCommit: (v) => change((pp) => { pp.debounce = v; }, [PROP.DEBOUNCE]) }))));
}

// Why a typed DPI was changed: "Stage 2: 1234 DPI is not a step of 50, so it
// was set to 1250 DPI."
function dpiNoteText(note) {
  if (!note) return '';
  return t(`perf.dpiAdjusted.${note.reason}`, { n: note.stage + 1, asked: note.asked, value: note.value, step: DPI_STEP });
}

// Removes stage i: later stages move up, the freed place takes the factory
// values, and the active stage follows its stage (or the one before).
export function removeStage(p, i) {
  if (p.stageCount <= 1) return;
  p.stages.splice(i, 1);
  p.stages.push({ dpi: FACTORY_STAGE_DPI[MAX_STAGES - 1], color: FACTORY_STAGE_COLOURS[MAX_STAGES - 1] });
  p.stageCount -= 1;
  if (p.activeStage > i || p.activeStage >= p.stageCount) p.activeStage = Math.max(0, p.activeStage - 1);
}

// Adds a stage after the last one, a step above it.
export function addStage(p) {
  if (p.stageCount >= MAX_STAGES) return;
  const last = p.stages[p.stageCount - 1];
  p.stages[p.stageCount] = { dpi: clampDpi(Math.min(DPI_MAX, last.dpi * 2)), color: p.stages[p.stageCount].color };
  p.stageCount += 1;
}
