// Every screen state of the page that the layout, accessibility and
// screenshot runs visit, and the checks they make in the real page.
import fs from 'node:fs';
import { sleep } from './harness.mjs';

export const go = (p, screen) => p.eval(`(location.hash = '#${screen}', true)`);

// Waits until the page has rendered what was asked and painted it.
export async function settle(p) {
  await p.until("document.documentElement.dataset.ready === '1'");
  await p.eval('window.kelvApp.rendered().then(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))))');
}

const clickKey = (p, key) => p.eval(`(() => { const el = document.querySelector('[data-key="${key}"]');
  if (!el) throw new Error('no ${key}'); el.click(); return true; })()`);

// Content the screens show: a macro with steps assigned to a button, a key
// combination on another, and a second mode bound to a program.
export async function prepare(p) {
  await p.until("window.kelvApp.state.deviceState === 'ready'");
  await p.eval(`(async () => {
    const app = window.kelvApp;
    app.macros.create(0);
    await app.macros.edit(0, (m) => { m.name = 'Reload'; m.steps = [
      { kind: 'down', scan: 0x13, ext: 0 }, { kind: 'delay', ms: 60 }, { kind: 'up', scan: 0x13, ext: 0 }, { kind: 'delay', ms: 250 },
      { kind: 'down', scan: 0x1d, ext: 0 }, { kind: 'delay', ms: 30 }, { kind: 'down', scan: 0x2e, ext: 0 }, { kind: 'delay', ms: 45 },
      { kind: 'up', scan: 0x2e, ext: 0 }, { kind: 'delay', ms: 20 }, { kind: 'up', scan: 0x1d, ext: 0 }]; }, { immediate: true });
    await app.modes.change((m) => { m.buttons[3] = { type: 5, p1: 0, p2: 0, p3: 0 }; m.buttons[5] = { type: 2, p1: 3, p2: 0x2e, p3: 0 }; }, [7]);
    await app.macros.setRepeat(0, 3, 5);
    const i = await app.modes.add();
    app.modes.rename(i, 'Shooter');
    app.state.profile.modes.find((x) => x.index === i).bindingProcess = '/usr/games/shooter';
    await app.settings.setSystem('pointerSpeed', 12);
    app.update();
    return true; })()`);
  await p.until("window.kelvApp.state.macroStatus[0] === 'stored'");
}

const selectButton = (p, i) => p.eval(`(window.kelvApp.state.selectedButton = ${i}, window.kelvApp.update(), true)`);

// name, how to get there, and how to leave (dialogs, the unplugged mouse).
export const STATES = [
  { name: 'performance', show: (p) => go(p, 'performance') },
  { name: 'messages', show: async (p) => {
    await go(p, 'performance');
    await p.eval(`(window.kelvApp.error('error.macroTaken', 'writeMacroByAddr failed!', [{ label: 'action.retry', run() {} }]),
      window.kelvApp.info('modes.switched', { name: 'Shooter' }), true)`);
  }, leave: (p) => p.eval('(window.kelvApp.alerts = [], window.kelvApp.ui.renderAlerts(), true)') },
  { name: 'buttons', show: async (p) => { await go(p, 'buttons'); await selectButton(p, 4); } },
  { name: 'buttons-key', show: async (p) => { await go(p, 'buttons'); await selectButton(p, 5); } },
  { name: 'buttons-macro', show: async (p) => { await go(p, 'buttons'); await selectButton(p, 3); } },
  // A key binding chosen as the action, the key not yet.
  { name: 'buttons-pending', show: async (p) => {
    await go(p, 'buttons');
    await selectButton(p, 2);
    await p.eval("(window.kelvApp.state.view.pendingAction = { button: 2, type: 2, mods: 1 }, window.kelvApp.update(), true)");
  } },
  { name: 'dpi-adjusted', show: async (p) => {
    await go(p, 'performance');
    await p.eval("(window.kelvApp.state.view.dpiNote = { stage: 0, asked: 99999, value: 26000, reason: 'max' }, window.kelvApp.update(), true)");
  } },
  { name: 'macros', show: (p) => go(p, 'macros') },
  { name: 'macro-empty', show: async (p) => { await go(p, 'macros'); await p.eval('(window.kelvApp.macros.create(7), true)'); },
    leave: (p) => p.eval('window.kelvApp.macros.remove(7)') },
  { name: 'insert-key-dialog', show: async (p) => { await go(p, 'macros'); await settle(p); await clickKey(p, 'step-add-key'); },
    leave: (p) => p.eval("(document.querySelector('#dialog-root').replaceChildren(), true)") },
  { name: 'macros-recording', show: async (p) => {
    await go(p, 'macros');
    await settle(p);
    await p.eval("(window.kelvApp.macros.setRecording((r) => { r.delays = 'fixed'; }), true)");
    await clickKey(p, 'macro:record');
    await p.until('window.kelvApp.state.recording !== null');
  }, leave: async (p) => {
    await p.eval('window.kelvApp.macros.stopRecording()');
    await p.eval("(window.kelvApp.macros.setRecording((r) => { r.delays = 'recorded'; }), true)");
  } },
  { name: 'undo-message', show: async (p) => {
    await go(p, 'performance');
    await p.eval("(window.kelvApp.offerUndo('perf.undoRemoveStage', { n: 2 }, () => {}), true)");
  }, leave: (p) => p.eval('(window.kelvApp.alerts = [], window.kelvApp.ui.renderAlerts(), true)') },
  { name: 'lighting', show: (p) => go(p, 'lighting') },
  { name: 'modes', show: (p) => go(p, 'modes') },
  { name: 'reset-dialog', show: async (p) => { await go(p, 'modes'); await settle(p); await clickKey(p, 'modes:reset'); },
    leave: (p) => p.eval("(document.querySelector('.dialog .btn:not(.danger)').click(), true)") },
  { name: 'import-question', show: async (p) => {
    await go(p, 'modes');
    await settle(p);
    // The bundled page has its own copy of the texts module: this one is
    // brought to the page's language first.
    await p.eval(`(import('./js/i18n.js').then(async ({ t, setLanguage, LANGUAGES }) => {
      await setLanguage(LANGUAGES.find((l) => l.locale === document.documentElement.lang).code);
      window.kelvApp.ui.confirm({ title: t('modes.importSameTitle'),
      text: t('modes.importSame', { name: 'Shooter' }), ok: t('modes.importReplace'), alt: t('modes.importKeepBoth'), danger: true }); }), true)`);
    await p.until("document.querySelector('.dialog [data-key=\"dialog:alt\"]') !== null");
  }, leave: (p) => p.eval("(document.querySelector('.dialog [data-key=\"dialog:cancel\"]').click(), true)") },
  { name: 'system', show: (p) => go(p, 'system') },
  { name: 'settings', show: (p) => go(p, 'settings') },
  { name: 'no-mouse', show: async (p) => {
    p.dcsim('unplug');
    await p.until("window.kelvApp.state.deviceState === 'none'");
    await go(p, 'performance');
  }, leave: async (p) => {
    p.dcsim('plug');
    await p.until("window.kelvApp.state.deviceState === 'ready'");
  } },
];

export async function show(p, state) {
  await state.show(p);
  await settle(p);
  await sleep(50);
}

export async function setLanguage(p, code) {
  await p.eval(`window.kelvApp.settings.setLanguage(${JSON.stringify(code)})`);
  await settle(p);
}

// Elements whose content does not fit their box: text running out of a
// control, a select too narrow for its choice, or the page scrolling
// sideways. Scroll areas may scroll down; ellipsis is allowed where the
// element carries the whole text as its title.
export function overflowing(p) {
  return p.eval(`(() => {
    const bad = [];
    const ctx = document.createElement('canvas').getContext('2d');
    const describe = (el) => {
      const key = el.getAttribute('data-key');
      const id = el.id ? '#' + el.id : '';
      const cls = typeof el.className === 'string' && el.className ? '.' + el.className.trim().split(/\\s+/).join('.') : '';
      return el.tagName.toLowerCase() + id + cls + (key ? '[' + key + ']' : '') + ' "' + (el.innerText || el.value || '').trim().slice(0, 60) + '"';
    };
    for (const el of document.querySelectorAll('body *')) {
      if (el.closest('svg') || el.closest('noscript')) continue;
      const cs = getComputedStyle(el);
      if (cs.display === 'none' || cs.visibility === 'hidden' || el.closest('[hidden]')) continue;
      const r = el.getBoundingClientRect();
      if (r.width === 0 && r.height === 0) continue;
      if (el.tagName === 'SELECT') {
        const text = el.selectedOptions[0]?.textContent ?? '';
        ctx.font = cs.font;
        const room = el.clientWidth - parseFloat(cs.paddingLeft) - parseFloat(cs.paddingRight) - 16;
        if (ctx.measureText(text).width > room + 1) bad.push(describe(el) + ' shows only part of "' + text + '"');
        continue;
      }
      if (el.tagName === 'INPUT' || el.tagName === 'TEXTAREA' || el.tagName === 'OPTION') continue;
      if (cs.textOverflow === 'ellipsis' && el.title) continue;
      const scrollsX = /auto|scroll/.test(cs.overflowX);
      const scrollsY = /auto|scroll/.test(cs.overflowY);
      if (el.scrollWidth > el.clientWidth + 1 && el.clientWidth > 0) bad.push(describe(el) + ' is ' + (el.scrollWidth - el.clientWidth) + ' px too narrow' + (scrollsX ? ' (scrolls sideways)' : ''));
      else if (!scrollsY && el.clientHeight > 0 && el.scrollHeight > el.clientHeight + 1) bad.push(describe(el) + ' is ' + (el.scrollHeight - el.clientHeight) + ' px too low');
    }
    if (document.documentElement.scrollWidth > window.innerWidth) bad.push('the page scrolls sideways');
    return bad;
  })()`);
}

// Visible texts with a space after a Chinese or Japanese sentence end ("。 "):
// sentences put together in those languages run on without one.
export function cjkSentenceGaps(p) {
  return p.eval(`(() => {
    const bad = [];
    for (const el of document.querySelectorAll('body *')) {
      if (el.closest('svg') || el.closest('noscript') || !el.getClientRects().length || getComputedStyle(el).visibility === 'hidden') continue;
      const own = [...el.childNodes].some((n) => n.nodeType === Node.TEXT_NODE && n.textContent.trim());
      const m = own && /[。！？][ \\u00a0]+\\S/u.exec(el.textContent);
      if (m) bad.push(el.tagName.toLowerCase() + (el.className ? '.' + String(el.className).trim().split(/\\s+/).join('.') : '') + ' "' + el.textContent.slice(Math.max(0, m.index - 20), m.index + 20) + '"');
    }
    return bad;
  })()`);
}

// Korean words (runs of Hangul) that a line break splits: Korean breaks
// lines at the spaces between its words.
export function splitKoreanWords(p) {
  return p.eval(`(() => {
    const bad = [];
    const hangul = /\\p{Script=Hangul}/u;
    const range = document.createRange();
    const top = (node, i) => { range.setStart(node, i); range.setEnd(node, i + 1); return range.getBoundingClientRect().top; };
    const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
    for (let node = walker.nextNode(); node; node = walker.nextNode()) {
      const el = node.parentElement;
      if (!el || el.closest('svg') || !el.getClientRects().length || getComputedStyle(el).visibility === 'hidden') continue;
      const text = node.textContent;
      for (let i = 0; i + 1 < text.length; i++) {
        if (!hangul.test(text[i]) || !hangul.test(text[i + 1])) continue;
        if (top(node, i + 1) > top(node, i) + 2) bad.push(el.tagName.toLowerCase() + ' "' + text.slice(Math.max(0, i - 12), i + 1) + '|' + text.slice(i + 1, i + 12) + '"');
      }
    }
    return bad;
  })()`);
}

const AXE = fs.readFileSync(new URL('./vendor/axe-core/axe.min.js', import.meta.url), 'utf8');

// axe-core's violations of impact serious or critical in the page as shown.
export async function axeViolations(p) {
  if (!(await p.eval('typeof window.axe === "object"'))) await p.eval(`${AXE};true`);
  return p.eval(`axe.run(document, { resultTypes: ['violations'] }).then((r) => r.violations
    .filter((v) => v.impact === 'serious' || v.impact === 'critical')
    .map((v) => v.id + ' (' + v.impact + '): ' + v.help + ' -- ' + v.nodes.slice(0, 4).map((n) => n.target.join(' ')).join(' | ')))`);
}
