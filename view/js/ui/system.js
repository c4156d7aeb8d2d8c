// The system's own mouse settings. Nothing here can be read back from the
// desktop, so the page shows what it last set (kept in the profile).
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

export function renderSystem(app) {
  const sys = app.state.profile.system;
  const num = (v, d) => (v === '' || !Number.isFinite(Number(v)) ? d : Number(v));
  const can = changeableSettings(app.state.session);
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
      row('pointerSpeed', slider({ key: 'system:speed', label: t('system.pointerSpeed'), ...range('pointerSpeed'), value: num(sys.pointerSpeed, 10),
        disabled: !can.includes('pointerSpeed'), onCommit: (v) => app.settings.setSystem('pointerSpeed', v) })),
      row('scrollLines', slider({ key: 'system:lines', label: t('system.scrollLines'), ...range('scrollLines'), value: num(sys.scrollLines, 3),
        disabled: !can.includes('scrollLines'), format: (v) => t('system.lines', { n: v }), onCommit: (v) => app.settings.setSystem('scrollLines', v) })),
      row('doubleClick', slider({ key: 'system:dbl', label: t('system.doubleClick'), ...range('doubleClick'), value: num(sys.doubleClick, 5),
        disabled: !can.includes('doubleClick'), format: (v) => formatUnit(DOUBLE_CLICK_MS[v], 'millisecond'), onCommit: (v) => app.settings.setSystem('doubleClick', v) })),
      testArea,
      can.some((k) => app.state.systemStatus[k]?.error) ? h('p', { class: 'hint warn' }, t('system.refusedHelp')) : null));
}
