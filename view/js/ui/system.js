// The system's own mouse settings, as the desktop holds them now (read back
// with the desktop's own tools each time the screen is shown); what kelv set
// last (kept in the profile) only where the desktop cannot be read.
import { t, formatUnit } from '../i18n.js';
import { card, h, slider } from './dom.js';
import { icon } from './icons.js';
import { SYSTEM_RANGES } from '../profile.js';

export const DOUBLE_CLICK_MS = [970, 900, 830, 760, 690, 620, 550, 480, 410, 340, 270, 200];

function status(app, kind) {
  const st = app.state.systemStatus[kind];
  if (!st) return h('span', { class: 'sys-status' });
  if (st === 'busy') return h('span', { class: 'sys-status' }, t('system.applying'));
  if (st === 'ok') return h('span', { class: 'sys-status ok' }, icon('check'), t('system.applied'));
  return h('span', { class: 'sys-status bad', role: 'alert' }, icon('warning'), t('system.refused'));
}

// Which settings the desktop lets the program change (getSessionInfo); an
// older program that does not say is taken to allow all three.
export function changeableSettings(session) {
  const can = session?.systemMouse;
  const all = ['pointerSpeed', 'scrollLines', 'doubleClick'];
  if (!can || typeof can !== 'object') return all;
  return all.filter((k) => can[k] !== false);
}

const range = (kind) => ({ min: SYSTEM_RANGES[kind][0], max: SYSTEM_RANGES[kind][1] });
const DEFAULTS = { pointerSpeed: 10, scrollLines: 3, doubleClick: 5 };

// The double-click position nearest to a time in milliseconds.
export function nearestDoubleClick(ms) {
  let best = 0;
  DOUBLE_CLICK_MS.forEach((v, i) => { if (Math.abs(v - ms) < Math.abs(DOUBLE_CLICK_MS[best] - ms)) best = i; });
  return best;
}

// What one slider shows: { position, label, lastSet }. The desktop's value
// (desktop: state.systemDesktop) puts the slider at the nearest step and,
// where no step holds it exactly, says the value itself beside it ("400 ms",
// "25 lines"); "default" and null say that the desktop uses its own default
// or that its value is not known. Only where the desktop could not be read
// at all is the value kelv set last (profileValue, '' when never) shown.
export function systemShown(kind, desktop, profileValue) {
  const [lo, hi] = SYSTEM_RANGES[kind];
  const fallback = (v) => (v === '' || !Number.isFinite(Number(v)) ? DEFAULTS[kind] : Number(v));
  if (!desktop || desktop.failed || (desktop.reading && !desktop.values)) {
    return { position: fallback(profileValue), label: desktop?.reading ? '…' : null, lastSet: !!desktop?.failed };
  }
  const value = desktop.values[kind];
  if (value === 'default') return { position: DEFAULTS[kind], label: t('system.desktopDefault'), lastSet: false };
  if (value === null || value === undefined) return { position: DEFAULTS[kind], label: t('system.unknownValue'), lastSet: false };
  if (kind === 'doubleClick') {
    const position = nearestDoubleClick(value);
    return { position, label: DOUBLE_CLICK_MS[position] === value ? null : formatUnit(value, 'millisecond'), lastSet: false };
  }
  const position = Math.min(hi, Math.max(lo, Math.round(value)));
  const label = position === value ? null : kind === 'scrollLines' ? t('system.lines', { n: value }) : String(value);
  return { position, label, lastSet: false };
}

export function renderSystem(app) {
  const sys = app.state.profile.system;
  const can = changeableSettings(app.state.session);
  // A setting the desktop does not have shows no value of its.
  const shown = (kind) => (can.includes(kind) ? systemShown(kind, app.state.systemDesktop, sys[kind])
    : { position: DEFAULTS[kind], label: null, lastSet: false });
  const speed = shown('pointerSpeed');
  const lines = shown('scrollLines');
  const dbl = shown('doubleClick');
  // A setting the desktop does not have is shown disabled from the start, the
  // reason beside it (or above all three when it has none of them).
  const row = (kind, control) => h('div', { class: 'sys-row' }, control,
    can.includes(kind) ? status(app, kind) : h('span', { class: 'sys-status' }, can.length ? t('system.notOnDesktop') : ''));
  const desktop = String(app.state.session?.desktop ?? '').split(':')[0];
  const limits = can.length === 0
    ? h('p', { class: 'hint warn', id: 'system-limits' }, icon('warning'), desktop ? t('system.noneOnDesktop', { desktop }) : t('system.noneOnThisDesktop'))
    : null;
  let clicks = 0;
  const testArea = h('button', {
    type: 'button', class: 'dbl-test', 'data-key': 'system:test',
    ondblclick: (e) => { clicks += 1; e.currentTarget.classList.toggle('open'); e.currentTarget.querySelector('span').textContent = t('system.testOk', { n: clicks }); },
  }, icon('layers'), h('span', {}, t('system.test')));
  return h('div', { class: 'screen-grid one' },
    card(t('system.title'),
      h('p', { class: 'hint' }, t('system.hint')),
      limits,
      [speed, lines, dbl].some((x) => x.lastSet) ? h('p', { class: 'hint warn', id: 'system-last-set' }, icon('warning'), t('system.lastSet')) : null,
      row('pointerSpeed', slider({ key: 'system:speed', label: t('system.pointerSpeed'), ...range('pointerSpeed'), value: speed.position, shown: speed.label,
        disabled: !can.includes('pointerSpeed'), onCommit: (v) => app.settings.setSystem('pointerSpeed', v) })),
      row('scrollLines', slider({ key: 'system:lines', label: t('system.scrollLines'), ...range('scrollLines'), value: lines.position, shown: lines.label,
        disabled: !can.includes('scrollLines'), format: (v) => t('system.lines', { n: v }), onCommit: (v) => app.settings.setSystem('scrollLines', v) })),
      row('doubleClick', slider({ key: 'system:dbl', label: t('system.doubleClick'), ...range('doubleClick'), value: dbl.position, shown: dbl.label,
        disabled: !can.includes('doubleClick'), format: (v) => formatUnit(DOUBLE_CLICK_MS[v], 'millisecond'), onCommit: (v) => app.settings.setSystem('doubleClick', v) })),
      testArea,
      can.some((k) => app.state.systemStatus[k]?.error) ? h('p', { class: 'hint warn' }, t('system.refusedHelp')) : null));
}
