// The system's own mouse settings. Nothing here can be read back from the
// desktop, so the page shows what it last set (kept in the profile).
import { t, formatUnit } from '../i18n.js';
import { card, h, slider } from './dom.js';
import { icon } from './icons.js';

export const DOUBLE_CLICK_MS = [970, 900, 830, 760, 690, 620, 550, 480, 410, 340, 270, 200];

function status(app, kind) {
  const st = app.state.systemStatus[kind];
  if (!st) return h('span', { class: 'sys-status' });
  if (st === 'busy') return h('span', { class: 'sys-status' }, t('system.applying'));
  if (st === 'ok') return h('span', { class: 'sys-status ok' }, icon('check'), t('system.applied'));
  return h('span', { class: 'sys-status bad', role: 'alert' }, icon('warning'), t('system.refused'));
}

export function renderSystem(app) {
  const sys = app.state.profile.system;
  const num = (v, d) => (v === '' || !Number.isFinite(Number(v)) ? d : Number(v));
  let clicks = 0;
  const testArea = h('button', {
    type: 'button', class: 'dbl-test', 'data-key': 'system:test',
    ondblclick: (e) => { clicks += 1; e.currentTarget.classList.toggle('open'); e.currentTarget.querySelector('span').textContent = t('system.testOk', { n: clicks }); },
  }, icon('layers'), h('span', {}, t('system.test')));
  return h('div', { class: 'screen-grid one' },
    card(t('system.title'),
      h('p', { class: 'hint' }, t('system.hint')),
      h('div', { class: 'sys-row' }, slider({ key: 'system:speed', label: t('system.pointerSpeed'), min: 1, max: 20, value: num(sys.pointerSpeed, 10),
        onCommit: (v) => app.settings.setSystem('pointerSpeed', v) }), status(app, 'pointerSpeed')),
      h('div', { class: 'sys-row' }, slider({ key: 'system:lines', label: t('system.scrollLines'), min: 1, max: 20, value: num(sys.scrollLines, 3),
        format: (v) => t('system.lines', { n: v }), onCommit: (v) => app.settings.setSystem('scrollLines', v) }), status(app, 'scrollLines')),
      h('div', { class: 'sys-row' }, slider({ key: 'system:dbl', label: t('system.doubleClick'), min: 0, max: 11, value: num(sys.doubleClick, 5),
        format: (v) => formatUnit(DOUBLE_CLICK_MS[v], 'millisecond'), onCommit: (v) => app.settings.setSystem('doubleClick', v) }), status(app, 'doubleClick')),
      testArea,
      Object.values(app.state.systemStatus).some((s) => s && s.error) ? h('p', { class: 'hint warn' }, t('system.refusedHelp')) : null));
}
