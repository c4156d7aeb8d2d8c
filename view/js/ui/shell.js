// The frame around the screens: title bar (drag, minimise, maximise/restore,
// close), navigation, device and mode bar, messages, and in-page dialogs.
import { t, applyStaticTexts, currentLanguage } from '../i18n.js';
import * as rq from '../requests.js';
import { focusBack, h, renderInto, select } from './dom.js';
import { icon } from './icons.js';
import { installTooltips } from './tooltip.js';
import { shownModeName } from '../names.js';
import { renderPerformance } from './performance.js';
import { renderButtons } from './buttons.js';
import { renderMacros } from './macros.js';
import { renderLighting } from './lighting.js';
import { renderModes } from './modes.js';
import { renderSystem } from './system.js';
import { renderSettings } from './settings.js';
import { deviceChip, deviceName, devicePicker, serviceNote } from './device.js';

// section: the part of a mode the screen shows, which "Reset" puts back to
// the factory settings.
export const SCREENS = [
  { id: 'performance', icon: 'gauge', device: true, section: 'performance', render: renderPerformance },
  { id: 'buttons', icon: 'mouse', device: true, section: 'buttons', render: renderButtons },
  { id: 'macros', icon: 'keyboard', device: false, render: renderMacros },
  { id: 'lighting', icon: 'light', device: true, section: 'lighting', render: renderLighting },
  { id: 'modes', icon: 'layers', device: false, render: renderModes },
  { id: 'system', icon: 'pointer', device: false, render: renderSystem },
  { id: 'settings', icon: 'gear', device: false, render: renderSettings },
];

export function mountShell(app) {
  const $ = (sel) => document.querySelector(sel);
  const ui = {};
  const content = $('#content');
  installTooltips(document);
  // Renders wait while a mouse button is down (see App.holdRenders); they
  // resume after the release's click has been handled.
  document.addEventListener('pointerdown', (e) => { if (e.pointerType === 'mouse') app.holdRenders(true); }, true);
  const release = () => setTimeout(() => app.holdRenders(false), 0);
  for (const type of ['pointerup', 'pointercancel']) window.addEventListener(type, release, true);
  window.addEventListener('blur', release);
  // A release the page never heard of (outside the window): no button is down any more.
  window.addEventListener('pointermove', (e) => { if (app.renderHeld && e.buttons === 0) release(); }, true);

  // -- window chrome
  const titlebar = $('#titlebar');
  let drag = null;
  let moving = false;
  const sendMove = () => {
    if (!drag || moving || (drag.dx === 0 && drag.dy === 0)) return;
    const { dx, dy } = drag;
    drag.dx = 0;
    drag.dy = 0;
    moving = true;
    app.bridge.request(rq.moveWindow(dx, dy, window.innerWidth, window.innerHeight), { timeoutMs: 2000 })
      .catch(() => {})
      .finally(() => { moving = false; sendMove(); });
  };
  titlebar.addEventListener('pointerdown', (e) => {
    if (e.button !== 0 || e.target.closest('button')) return;
    if (app.state.maximised) app.settings.toggleMaximise();
    drag = { x: e.screenX, y: e.screenY, dx: 0, dy: 0 };
    titlebar.setPointerCapture(e.pointerId);
  });
  titlebar.addEventListener('pointermove', (e) => {
    if (!drag) return;
    drag.dx += e.screenX - drag.x;
    drag.dy += e.screenY - drag.y;
    drag.x = e.screenX;
    drag.y = e.screenY;
    sendMove();
  });
  const endDrag = () => { drag = null; };
  titlebar.addEventListener('pointerup', endDrag);
  titlebar.addEventListener('pointercancel', endDrag);
  titlebar.addEventListener('dblclick', (e) => { if (!e.target.closest('button')) app.settings.toggleMaximise(); });
  $('#win-min').addEventListener('click', () => app.settings.minimise());
  $('#win-max').addEventListener('click', () => app.settings.toggleMaximise());
  $('#win-close').addEventListener('click', () => app.settings.close());

  // Resizing from the bottom-right corner: moveWindow with no offset.
  const grip = $('#resize-grip');
  let resize = null;
  grip.addEventListener('pointerdown', (e) => {
    resize = { x: e.screenX, y: e.screenY, w: window.innerWidth, h: window.innerHeight, busy: false };
    grip.setPointerCapture(e.pointerId);
  });
  grip.addEventListener('pointermove', (e) => {
    if (!resize || resize.busy) return;
    const w = Math.max(800, resize.w + e.screenX - resize.x);
    const hgt = Math.max(600, resize.h + e.screenY - resize.y);
    resize.busy = true;
    app.bridge.request(rq.moveWindow(0, 0, w, hgt), { timeoutMs: 2000 }).catch(() => {}).finally(() => { if (resize) resize.busy = false; });
  });
  grip.addEventListener('pointerup', () => { resize = null; });

  ui.updateChrome = () => {
    const max = $('#win-max');
    max.replaceChildren(icon(app.state.maximised ? 'restore' : 'maximise'));
    max.setAttribute('aria-label', t(app.state.maximised ? 'window.restore' : 'window.maximise'));
    max.title = max.getAttribute('aria-label');
    $('#win-min').title = t('window.minimise');
    $('#win-min').setAttribute('aria-label', t('window.minimise'));
    $('#win-close').title = t('window.close');
    $('#win-close').setAttribute('aria-label', t('window.close'));
  };

  // One wording: changes are "saved" once they are on disk. Changes kept only
  // in the program's memory (a profile that could not be read is never
  // written) are not saved.
  ui.updateSaveState = () => {
    const el = $('#save-state');
    const s = app.state.saveState === 'stored' ? 'failed' : app.state.saveState;
    el.dataset.state = s;
    el.textContent = t(`save.${s}`);
  };

  // -- navigation
  const nav = $('#nav');
  const go = (id) => {
    app.showScreen(id);
    if (location.hash !== `#${id}`) history.replaceState(null, '', `#${id}`);
    ui.render();
  };
  ui.go = go;
  window.addEventListener('hashchange', () => {
    const id = location.hash.slice(1);
    if (SCREENS.some((s) => s.id === id) && id !== app.state.screen) go(id);
  });
  const fromHash = location.hash.slice(1);
  if (SCREENS.some((s) => s.id === fromHash)) app.state.screen = fromHash;

  // Built again only when it changes, so that a render in the middle of a
  // click (a device event) does not take the pressed button away.
  const unchanged = (container, signature) => {
    if (container.dataset.shown === signature) return true;
    container.dataset.shown = signature;
    return false;
  };
  const renderNav = () => {
    if (unchanged(nav, `${app.state.screen} ${currentLanguage()}`)) return;
    renderInto(nav, () => SCREENS.map((s) => h('button', {
      type: 'button', class: 'nav-item' + (app.state.screen === s.id ? ' on' : ''), 'data-key': `nav:${s.id}`,
      'aria-current': app.state.screen === s.id ? 'page' : null, onclick: () => go(s.id),
    }, icon(s.icon), h('span', {}, t(`nav.${s.id}`)))));
  };
  nav.addEventListener('keydown', (e) => {
    if (e.key !== 'ArrowDown' && e.key !== 'ArrowUp') return;
    // From the focused entry (the open screen when the focus is elsewhere).
    const focused = document.activeElement?.getAttribute('data-key')?.replace(/^nav:/, '');
    const from = SCREENS.some((s) => s.id === focused) ? focused : app.state.screen;
    const i = SCREENS.findIndex((s) => s.id === from);
    const next = SCREENS[(i + (e.key === 'ArrowDown' ? 1 : SCREENS.length - 1)) % SCREENS.length];
    e.preventDefault();
    go(next.id);
    nav.querySelector(`[data-key="nav:${next.id}"]`)?.focus();
  });

  // -- device and mode bar
  const topbar = $('#topbar');
  const renderTopbar = () => {
    const st = app.state;
    const d = st.device;
    let chip;
    if (st.deviceState === 'boot') {
      chip = h('div', { class: 'device-chip warn' }, icon('mouse'), h('div', {}, h('strong', {}, t('device.bootTitle')), h('small', {}, t('device.bootText'))));
    } else if (!d && !st.gone) {
      chip = h('div', { class: 'device-chip off' }, icon('plug'), h('div', {}, h('strong', {}, t('device.none')), h('small', {}, t('device.noneShort'))));
    } else {
      chip = deviceChip(app);
    }
    const p = st.profile;
    const modeSel = p ? h('label', { class: 'mode-picker' }, h('span', {}, t('modes.active')),
      select({ key: 'topbar:mode', label: t('modes.active'), value: p.current,
        options: p.modes.map((m) => ({ value: m.index, label: m.bindingProcess ? `${shownModeName(m.name)} · ${m.bindingProcess.split(/[\\/]/).pop()}` : shownModeName(m.name) })),
        onChange: (v) => app.modes.switchTo(v) })) : null;
    renderInto(topbar, () => [chip, devicePicker(app), modeSel]);
  };

  // -- messages: they float over the bottom of the screen, so nothing moves
  // under the pointer when one comes or goes; the screen keeps room to scroll
  // its last controls out from under them.
  const alertsEl = $('#alerts');
  // The room only grows while a screen is open (shrinking it could scroll the
  // content under the pointer); another screen starts without.
  const keepRoom = () => {
    const need = alertsEl.offsetHeight ? alertsEl.offsetHeight + 16 : 0;
    const now = parseFloat(content.style.getPropertyValue('--alert-room')) || 0;
    if (need > now) content.style.setProperty('--alert-room', `${need}px`);
  };
  if (typeof ResizeObserver === 'function') new ResizeObserver(keepRoom).observe(alertsEl);
  ui.renderAlerts = () => {
    if (unchanged(alertsEl, `${app.alerts.map((a) => a.id).join(',')} ${currentLanguage()}`)) return;
    renderInto(alertsEl, () => app.alerts.map((a) => h('div', { class: `alert ${a.kind}`, role: a.kind === 'error' ? 'alert' : 'status' },
      icon(a.kind === 'error' ? 'warning' : 'info'),
      h('div', { class: 'alert-body' },
        h('strong', {}, t(a.key, a.vars)),
        a.help && t(a.help, {}, '') ? h('p', {}, t(a.help)) : null),
      h('div', { class: 'alert-actions' },
        (a.actions ?? []).map((act) => h('button', { type: 'button', class: 'btn small', onclick: () => { app.dismiss(a.id); act.run(); } }, t(act.label))),
        h('button', { type: 'button', class: 'icon-btn', 'aria-label': t('action.dismiss'), title: t('action.dismiss'), onclick: () => app.dismiss(a.id) }, icon('close'))))));
  };

  // -- dialogs
  const dialogRoot = $('#dialog-root');
  // Resolves true (ok), false (cancel) or, when the dialog offers a second
  // way on (alt), 'alt'; the focus starts on the safer of them.
  ui.confirm = ({ title, text, ok, alt = null, danger = false }) => new Promise((resolve) => {
    const before = document.activeElement;
    const close = (v) => { dialogRoot.replaceChildren(); focusBack(before); resolve(v); };
    const okBtn = h('button', { type: 'button', class: danger ? 'btn danger' : 'btn primary', 'data-key': 'dialog:ok', onclick: () => close(true) }, ok);
    const altBtn = alt ? h('button', { type: 'button', class: 'btn primary', 'data-key': 'dialog:alt', onclick: () => close('alt') }, alt) : null;
    const box = h('div', { class: 'dialog', role: 'dialog', 'aria-modal': 'true', 'aria-label': title,
      onkeydown: (e) => {
        if (e.key === 'Escape') close(false);
        if (e.key === 'Tab') {
          const f = box.querySelectorAll('button');
          if (e.shiftKey && document.activeElement === f[0]) { e.preventDefault(); f[f.length - 1].focus(); }
          else if (!e.shiftKey && document.activeElement === f[f.length - 1]) { e.preventDefault(); f[0].focus(); }
        }
      } },
    h('h2', {}, title), h('p', {}, text),
    h('div', { class: 'dialog-actions' }, h('button', { type: 'button', class: 'btn', 'data-key': 'dialog:cancel', onclick: () => close(false) }, t('action.cancel')), altBtn, okBtn));
    dialogRoot.replaceChildren(h('div', { class: 'backdrop', onclick: (e) => { if (e.target === e.currentTarget) close(false); } }, box));
    (altBtn ?? okBtn).focus();
  });

  ui.confirmReset = async () => {
    if (await ui.confirm({ title: t('modes.reset'), text: t('modes.resetConfirm'), ok: t('modes.resetOk'), danger: true })) app.modes.reset();
  };

  // -- screens
  const screenOf = (id) => SCREENS.find((s) => s.id === id) ?? SCREENS[0];
  ui.render = () => {
    applyStaticTexts(document);
    ui.updateChrome();
    ui.updateSaveState();
    renderNav();
    renderTopbar();
    ui.renderAlerts();
    const screen = screenOf(app.state.screen);
    // Another screen opens at its top, not where the last one was scrolled to.
    const opened = content.dataset.screen !== screen.id;
    content.dataset.screen = screen.id;
    renderInto(content, () => {
      if (!app.state.profile) return h('div', { class: 'empty' }, h('span', { class: 'spinner' }));
      // The device screens say how to get real mice while their service cannot
      // serve them. Without a mouse the active mode's settings stay editable;
      // they are written to the mouse when it is connected.
      const note = screen.device ? serviceNote(app) : null;
      const reset = screen.section && app.modes.sectionDefaults(screen.section) ? screenReset(app, screen) : null;
      if (screen.device && app.state.deviceState === 'none') return [note, offlineNotice(app.state.gone), screen.render(app, ui), reset];
      if (screen.device && app.state.deviceState !== 'ready') return [note, deviceEmptyState(app)];
      return [note, screen.render(app, ui), reset];
    });
    if (opened) {
      content.scrollTop = 0;
      content.style.removeProperty('--alert-room');
      keepRoom();
    }
  };
  return ui;
}

// Beside the whole profile's factory reset (Modes): this screen's settings of
// the active mode alone, with "Undo" afterwards.
function screenReset(app, screen) {
  return h('div', { class: 'screen-foot' },
    h('button', { type: 'button', class: 'btn small', 'data-key': `screen-reset:${screen.id}`, onclick: () => app.modes.resetSection(screen.section) },
      icon('reset'), t(`screenReset.${screen.id}`, { name: shownModeName(app.mode.name) })));
}

// Above a device screen while no mouse is connected (or the one shown went
// away): what happens to the changes, and how to connect the mouse.
function offlineNotice(gone) {
  return h('section', { class: 'offline-notice', id: 'offline-notice' },
    icon('plug'),
    h('div', {},
      h('strong', {}, gone ? t('device.goneTitle', { name: deviceName(gone) }) : t('device.none')),
      h('p', {}, t('device.offlineEdit')),
      h('details', {},
        h('summary', { 'data-key': 'offline:how' }, t('device.howToConnect')),
        h('ol', { class: 'steps' }, h('li', {}, t('device.help1')), h('li', {}, t('device.help2')), h('li', {}, t('device.help3'))))));
}

// A device screen while the mouse is being read, updated, or does not answer.
export function deviceEmptyState(app) {
  const st = app.state;
  if (st.deviceState === 'loading') {
    return h('div', { class: 'empty' }, h('span', { class: 'spinner big' }), h('h2', {}, t('device.loading')));
  }
  if (st.deviceState === 'boot') {
    return h('div', { class: 'empty' }, icon('mouse', 'empty-icon'), h('h2', {}, t('device.bootTitle')), h('p', {}, t('device.bootHelp')));
  }
  return h('div', { class: 'empty' }, icon('warning', 'empty-icon'), h('h2', {}, t('device.errorTitle')),
    h('p', {}, t('device.errorHelp')),
    h('button', { type: 'button', class: 'btn primary', 'data-key': 'empty:retry', onclick: () => app.device.connect() }, t('action.retry')));
}
