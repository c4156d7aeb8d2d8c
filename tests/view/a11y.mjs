// The page in the real program for every user: every screen in every
// language at the program's default window size and at 800 x 600 without
// content running out of its box, a space after a Chinese or Japanese
// sentence end or a Korean word split at a line's end, axe-core finding
// nothing serious or critical, and a keyboard-only session (no pointer) that
// changes a DPI stage, binds a mode to a program and records a macro
// (stopped with Esc).
// Run by ctest as view_a11y.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { Program, sleep } from './harness.mjs';
import { LANGUAGES } from '../../view/js/i18n.js';
import { STATES, axeViolations, cjkSentenceGaps, go, overflowing, splitKoreanWords, prepare, setLanguage, settle, show } from './screens.mjs';

// The window of a first start (clientSize of the factory conf.xml), and the
// smallest window the page is laid out for.
const DEFAULT_SIZE = { width: 1024, height: 680 };
const SMALLEST = { width: 800, height: 600 };

// One program at a time, of the size being checked.
let p;
async function useSize(size) {
  if (p?.size === size) return;
  await p?.stop();
  p = await Program.start(size);
  p.size = size;
  await prepare(p);
}
after(async () => { await p?.stop(); });

for (const [size, lang] of [DEFAULT_SIZE, SMALLEST].flatMap((sz) => LANGUAGES.map((l) => [sz, l]))) {
  test(`every screen in ${lang.name} fits ${size.width} x ${size.height} and passes axe-core`, async () => {
    await useSize(size);
    await setLanguage(p, lang.code);
    assert.equal(await p.eval('document.documentElement.lang'), lang.locale);
    const problems = [];
    for (const state of STATES) {
      await show(p, state);
      try {
        for (const o of await overflowing(p)) problems.push(`${state.name}: ${o}`);
        for (const g of await cjkSentenceGaps(p)) problems.push(`${state.name}: a space after a sentence end in ${g}`);
        if (lang.code === 'ko') for (const w of await splitKoreanWords(p)) problems.push(`${state.name}: a word split at the line's end in ${w}`);
        for (const v of await axeViolations(p)) problems.push(`${state.name}: ${v}`);
      } finally {
        if (state.leave) await state.leave(p);
      }
    }
    assert.deepEqual(problems, []);
  });
}

// --- keyboard only ---------------------------------------------------------

const active = () => p.eval("document.activeElement?.getAttribute('data-key') ?? document.activeElement?.id ?? ''");

// Presses Tab (or Shift+Tab) until the element with that data-key has the
// focus; every stop on the way must show a focus ring.
async function tabTo(key, { back = false, max = 80 } = {}) {
  for (let i = 0; i < max; i++) {
    if (await active() === key) return;
    await p.press('Tab', { shift: back });
    await sleep(20);
    const ring = await p.eval(`(() => { const el = document.activeElement; if (!el || el === document.body) return 'none';
      const cs = getComputedStyle(el);
      // The mouse picture's parts show the focus as a thick bright edge.
      const shown = el instanceof SVGElement ? parseFloat(cs.strokeWidth) >= 2.5
        : cs.outlineStyle !== 'none' && parseFloat(cs.outlineWidth) >= 2;
      return shown ? 'ring' : el.outerHTML.slice(0, 80); })()`);
    assert.ok(ring === 'ring' || ring === 'none', `no visible focus ring on ${ring}`);
  }
  throw new Error(`${key} not reached with Tab (focus on ${await active()})`);
}

async function typeText(text) {
  for (const ch of text) await p.press(ch);
}

test('keyboard only: the focus order runs title bar, navigation, mode bar, screen', async () => {
  await useSize(SMALLEST);
  await setLanguage(p, 'en');
  await go(p, 'performance');
  await settle(p);
  await p.eval('(document.activeElement?.blur(), true)');
  const order = [];
  await p.eval('(window.kelvApp.alerts = [], window.kelvApp.update(), true)');
  await settle(p);
  for (let i = 0; i < 16; i++) {
    await p.press('Tab');
    order.push(await active());
  }
  const first = (k) => order.findIndex((x) => x.startsWith(k));
  assert.ok(first('win-') >= 0 && first('win-') < first('nav:'), order.join(' '));
  assert.ok(first('nav:') < first('topbar:mode'), order.join(' '));
  assert.ok(first('topbar:mode') >= 0 && first('topbar:mode') < first('stage-'), order.join(' '));
});

test('keyboard only: change a DPI stage, bind a mode to a program, record a macro', async () => {
  await useSize(SMALLEST);
  await setLanguage(p, 'en');
  // Navigation with the arrow keys.
  await tabTo('nav:buttons');
  await p.press('ArrowUp');
  await p.until("window.kelvApp.state.screen === 'performance' && document.activeElement?.getAttribute('data-key') === 'nav:performance'");

  // The active stage moves with the arrow keys in its radio group; the DPI
  // of stage 1 is typed.
  const before = await p.eval('window.kelvApp.mode.performance.activeStage');
  await tabTo(`stage-active:${before}`);
  await p.press('ArrowDown');
  await p.until(`window.kelvApp.mode.performance.activeStage === ${before + 1}`);
  for (let i = 0; i < 50 && p.dcsim('prop', '2').trim() !== `0${before + 1}`; i++) await sleep(100);
  assert.equal(p.dcsim('prop', '2').trim(), `0${before + 1}`);
  await tabTo('dpi-num:0');
  await p.eval("(document.activeElement.select(), true)");
  await typeText('950');
  await p.press('Tab');
  await p.until('window.kelvApp.mode.performance.stages[0].dpi === 950');
  for (let i = 0; i < 50 && !p.dcsim('prop', '3').trim().startsWith('b603'); i++) await sleep(100);
  assert.equal(p.dcsim('prop', '3').trim().slice(0, 4), 'b603', '950 DPI = 0x03b6');

  // The mouse picture's buttons are reachable and pick a button.
  await tabTo('nav:performance', { back: true });
  await p.press('ArrowDown');
  await p.until("window.kelvApp.state.screen === 'buttons'");
  await tabTo('zone:2');
  await p.press('Enter');
  await p.until('window.kelvApp.state.selectedButton === 2');

  // Binding a mode: the file dialog is answered by typing too.
  await tabTo('nav:buttons', { back: true });
  for (let i = 0; i < 3; i++) await p.press('ArrowDown');
  await p.until("window.kelvApp.state.screen === 'modes'");
  const exe = path.join(p.root, 'shooter');
  fs.copyFileSync('/bin/sleep', exe);
  fs.chmodSync(exe, 0o755);
  await tabTo('mode-bind:0');
  await p.press('Enter');
  await p.answerFileDialog('OpenFileDialog', exe);
  await p.until(`window.kelvApp.state.profile.modes[0].bindingProcess === ${JSON.stringify(exe)}`, { timeoutMs: 15000 });

  // Recording a macro into a free slot. While it runs, keys press nothing on
  // the page and do not move the focus (they belong to the macro); Esc stops.
  await tabTo('nav:modes', { back: true });
  await p.press('ArrowUp');
  await p.press('ArrowUp');
  await p.until("window.kelvApp.state.screen === 'macros'");
  await tabTo('slot:2');
  await p.press('Enter');
  await p.until('window.kelvApp.macros.get(2) !== null');
  await tabTo('macro:record');
  await p.press('Enter');
  await p.until('window.kelvApp.state.recording !== null');
  assert.equal(await p.eval("document.activeElement?.id"), 'record-stop', 'the focus is on Stop while recording');
  assert.equal(await p.eval("document.activeElement?.getAttribute('aria-describedby')"), 'recording-hint', 'Stop tells how the keyboard stops');
  await sleep(300);
  p.xdotool('type', '--delay', '120', 'xy');
  await p.until('window.kelvApp.state.recording.steps.filter((s) => s.kind !== "delay").length >= 4', { timeoutMs: 10000 });
  await p.press('Tab');
  assert.equal(await p.eval('document.activeElement?.id'), 'record-stop');
  await p.press('Enter');
  await p.press('Space');
  assert.ok(await p.eval('window.kelvApp.state.recording !== null'), 'Enter and Space on Stop do not stop');
  await p.press('Escape');
  await p.until("window.kelvApp.state.recording === null && window.kelvApp.state.macroStatus[2] === 'stored'");
  const steps = await p.eval('window.kelvApp.macros.get(2).steps');
  assert.deepEqual(steps.filter((s) => s.kind !== 'delay').map((s) => `${s.kind} ${s.scan}`), ['down 45', 'up 45', 'down 21', 'up 21']);
  // The focus is back on a control, not lost.
  assert.equal(await active(), 'macro:record');
});

test('keyboard only: the hot-key field and the key dialog let the focus go', async () => {
  await useSize(SMALLEST);
  await go(p, 'settings');
  await settle(p);
  await tabTo('settings:hotkey');
  await p.press('Enter'); // listening
  await p.press('Tab');
  assert.notEqual(await active(), 'settings:hotkey', 'Tab leaves the listening hot-key field');
  await go(p, 'macros');
  await settle(p);
  await tabTo('step-add-key');
  await p.press('Enter');
  await p.until("document.querySelector('.dialog') !== null");
  // A render while the dialog is open (a device event, a save) replaces the
  // button the dialog came from.
  await p.eval('(window.kelvApp.update(), window.kelvApp.rendered()).then(() => true)');
  await p.press('Escape');
  await p.until("document.querySelector('.dialog') === null");
  assert.equal(await active(), 'step-add-key', 'the focus returns where it was');
});
