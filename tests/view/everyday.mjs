// The first half hour of a new user, in the real program at its default size
// (1024 x 680) under Xvfb with the simulated mouse, driven as a user drives
// it: pointer clicks and key presses through Chromium's input events. Run by
// ctest as view_everyday.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { Program, sleep } from './harness.mjs';
import { settle } from './screens.mjs';

let p;
// A desktop whose mouse settings the program cannot change.
before(async () => { p = await Program.start({ width: 1024, height: 680, extraEnv: { XDG_CURRENT_DESKTOP: 'LXQt' } }); });
after(async () => { await p?.stop(); });

const KEYS = {
  Tab: [9, 'Tab'], Enter: [13, 'Enter', '\r'], Escape: [27, 'Escape'], Backspace: [8, 'Backspace'],
  ArrowDown: [40, 'ArrowDown'], ArrowUp: [38, 'ArrowUp'], ArrowRight: [39, 'ArrowRight'], ArrowLeft: [37, 'ArrowLeft'],
};
// A key pressed as the keyboard does it; ctrl holds Ctrl, alt Alt.
async function key(name, { ctrl = false, alt = false } = {}) {
  let [vk, code, text] = KEYS[name] ?? [];
  let k = name;
  if (!vk) {
    const ch = name.length === 1 ? name : '';
    vk = ch.toUpperCase().charCodeAt(0);
    code = /\d/.test(ch) ? `Digit${ch}` : `Key${ch.toUpperCase()}`;
    text = ctrl || alt ? undefined : ch;
    k = ch;
  }
  const base = { key: k, code, windowsVirtualKeyCode: vk, nativeVirtualKeyCode: vk, modifiers: (ctrl ? 2 : 0) | (alt ? 1 : 0) };
  await p.cdp.send('Input.dispatchKeyEvent', { type: text ? 'keyDown' : 'rawKeyDown', ...base, text });
  await p.cdp.send('Input.dispatchKeyEvent', { type: 'keyUp', ...base });
}
const type = async (text) => { for (const ch of text) await key(ch); };

const el = (selector) => `document.querySelector(${JSON.stringify(selector)})`;
const byKey = (k) => el(`[data-key="${k}"]`);
// Where an element is on screen (its middle), scrolled into view first.
async function spot(selector) {
  await p.until(`!!${el(selector)}`);
  return p.eval(`(() => { const e = ${el(selector)}; e.scrollIntoView({ block: 'nearest' });
    const r = e.getBoundingClientRect(); return { x: r.x + r.width / 2, y: r.y + r.height / 2, top: r.top }; })()`);
}
// A click of the left mouse button on the element.
async function click(selector) {
  const { x, y } = await spot(selector);
  await p.cdp.send('Input.dispatchMouseEvent', { type: 'mouseMoved', x, y });
  await p.cdp.send('Input.dispatchMouseEvent', { type: 'mousePressed', x, y, button: 'left', clickCount: 1 });
  await p.cdp.send('Input.dispatchMouseEvent', { type: 'mouseReleased', x, y, button: 'left', clickCount: 1 });
  await settle(p);
}
const clickKey = (k) => click(`[data-key="${k}"]`);
const focusKey = (k) => p.eval(`(${byKey(k)}.focus(), true)`);
const text = (selector) => p.eval(`${el(selector)}?.textContent ?? null`);
const prop = (id) => p.dcsim('prop', String(id)).trim();
// The four bytes of one button in the mouse.
const buttonInMouse = (i) => prop(7).match(/../g).slice(i * 4, i * 4 + 4).map((x) => parseInt(x, 16));
async function untilProp(id, want) {
  for (let i = 0; i < 50 && prop(id) !== want; i++) await sleep(100);
  assert.equal(prop(id), want, `property ${id}`);
}
const go = async (screen) => { await clickKey(`nav:${screen}`); await p.until(`window.kelvApp.state.screen === '${screen}'`); };
// Picks the option of a closed select with the arrow keys, as the keyboard does.
async function choose(k, value) {
  await focusKey(k);
  const options = await p.eval(`[...${byKey(k)}.options].map((o) => o.value)`);
  for (let i = 0; i < options.length && (await p.eval(`${byKey(k)}.value`)) !== String(value); i++) {
    const at = options.indexOf(await p.eval(`${byKey(k)}.value`));
    await key(at < options.indexOf(String(value)) ? 'ArrowDown' : 'ArrowUp');
    await settle(p);
  }
  assert.equal(await p.eval(`${byKey(k)}.value`), String(value));
  await settle(p);
}

test('an action type is applied only once its value is chosen', async () => {
  await p.until("window.kelvApp.state.deviceState === 'ready'");
  await go('buttons');
  await clickKey('btn:2');
  const before = buttonInMouse(2);
  await choose('assign:type', 2); // Key or key combination
  assert.equal(await text('#assign-pending'), 'Choose what it does to apply it. Until then the button keeps doing: Middle click.');
  assert.equal(await text('[data-key="assign:capture"] .combo'), 'No key chosen yet');
  assert.deepEqual(buttonInMouse(2), before, 'nothing bound before a key is chosen');
  await clickKey('assign:mod:8');
  assert.equal(await text('.mods label:last-child'), 'Super');
  await clickKey('assign:capture');
  await key('g');
  await p.until(`window.kelvApp.mode.buttons[2].type === 2`);
  for (let i = 0; i < 50 && buttonInMouse(2)[0] !== 2; i++) await sleep(100);
  assert.deepEqual(buttonInMouse(2), [2, 8, 0x22, 0], 'Super + G');
  assert.equal(await p.eval("document.querySelector('#assign-pending')"), null);

  await choose('assign:type', 3); // DPI function
  assert.deepEqual(buttonInMouse(2), [2, 8, 0x22, 0]);
  assert.equal(await p.eval(`${byKey('assign:dpi')}.value`), '', 'no function shown as chosen');
  await choose('assign:dpi', 2);
  for (let i = 0; i < 50 && buttonInMouse(2)[0] !== 3; i++) await sleep(100);
  assert.deepEqual(buttonInMouse(2), [3, 2, 0, 0]);
});

test('Cancel in the left-button warning shows what the button still does', async () => {
  await p.until("window.kelvApp.state.deviceState === 'ready'");
  await go('buttons');
  await clickKey('btn:0');
  await choose('assign:type', 0); // Disabled
  await p.until(`!!${el('.dialog')}`);
  // A render while the question is open (a save, a device event) keeps showing what it is about.
  await p.eval('(window.kelvApp.update(), true)');
  await settle(p);
  assert.equal(await p.eval(`${byKey('assign:type')}.value`), '0', 'Disabled, as asked');
  await click('.dialog .btn:not(.danger)');
  await p.until(`${el('.dialog')} === null`);
  assert.equal(await p.eval(`${byKey('assign:type')}.value`), '1', 'Mouse function');
  assert.equal(await p.eval(`${byKey('assign:mouse')}.value`), '1', 'Left click');
  assert.deepEqual(buttonInMouse(0), [1, 1, 0, 0]);
});

test('a macro made from its empty state plays the same way on its page and on the button', async () => {
  await go('macros');
  await clickKey('slot:1');
  await p.until('window.kelvApp.macros.get(1) !== null');
  // The empty macro offers its add buttons; the dialog says it adds at the end.
  await clickKey('step-add-key');
  assert.equal(await text('.dialog h2'), 'Add a key press at the end');
  await key('k');
  await p.until('window.kelvApp.macros.get(1).steps.length === 3');
  await go('buttons');
  await clickKey('btn:3');
  await choose('assign:type', 5);
  await choose('assign:macro', 1);
  await choose('assign:repeat', 3); // a number of times
  await p.until('window.kelvApp.mode.buttons[3].p2 === 3');
  for (let i = 0; i < 50 && buttonInMouse(3)[2] !== 3; i++) await sleep(100);
  assert.deepEqual(buttonInMouse(3), [5, 1, 3, 1]);
  await go('macros');
  assert.equal(await p.eval(`${byKey('macro:repeat')}.value`), '3', 'the macro page shows the same setting');
  assert.equal(await p.eval(`${byKey('macro:repeat')}.closest('.field').querySelector('.hint')`), null, 'this mouse plays it so');
  await focusKey('macro:count');
  await key('Backspace');
  await type('4');
  await key('Tab');
  for (let i = 0; i < 50 && buttonInMouse(3)[3] !== 4; i++) await sleep(100);
  assert.deepEqual(buttonInMouse(3), [5, 1, 3, 4], 'the button plays it four times');
  // An emptied field keeps the count (it used to become 1, in the mouse too).
  await focusKey('macro:count');
  await key('Backspace');
  await key('Tab');
  await settle(p);
  assert.equal(await p.eval(`${byKey('macro:count')}.value`), '4');
  assert.equal(await p.eval('window.kelvApp.macros.get(1).count'), 4);
  assert.deepEqual(buttonInMouse(3), [5, 1, 3, 4], 'still four times');
});

test('at 1024 x 680 the steps of a long macro scroll, the page does not', async () => {
  await p.eval(`(window.kelvApp.macros.edit(1, (m) => { m.steps = Array.from({ length: 40 }, (_, i) =>
    [{ kind: 'down', scan: 0x25, ext: 0 }, { kind: 'delay', ms: 20 + i }, { kind: 'up', scan: 0x25, ext: 0 }]).flat(); }), true)`);
  await settle(p);
  const sizes = await p.eval(`(() => { const c = document.querySelector('#content'), tl = document.querySelector('#timeline');
    return { page: c.scrollHeight - c.clientHeight, steps: tl.scrollHeight - tl.clientHeight, stepsShown: tl.clientHeight,
      stepHeight: tl.querySelector('.step').getBoundingClientRect().height,
      text: [...c.childNodes].filter((n) => n.nodeType === Node.TEXT_NODE).map((n) => n.textContent).join('') }; })()`);
  assert.ok(sizes.page <= 0, `the page scrolls ${sizes.page} px`);
  assert.ok(sizes.steps > 0, 'the steps scroll in their own list');
  // The slots stand beside the editor at this size: the list has the window's height (about three steps above it).
  assert.ok(sizes.stepsShown >= 7 * sizes.stepHeight, `only ${sizes.stepsShown} px show the steps`);
  assert.equal(sizes.text, '', 'a screen without a reset of its own shows nothing in its place');
  // While recording, the newest step stays in sight.
  await p.eval(`(() => { const app = window.kelvApp; app.state.recording = { slot: 1, steps: app.macros.get(1).steps.slice(0, 100) }; app.update(); return true; })()`);
  await settle(p);
  const shown = await p.eval(`(() => { const s = document.querySelector('#timeline .step:last-child').getBoundingClientRect();
    const tl = document.querySelector('#timeline').getBoundingClientRect(); return s.top >= tl.top && s.bottom <= tl.bottom + 1; })()`);
  // The counts below the list are the recording's, not those of the steps it replaces.
  const summary = await text('.macro-foot .hint');
  await p.eval('(window.kelvApp.state.recording = null, window.kelvApp.update(), true)');
  assert.ok(shown, 'the newest recorded step is in sight');
  assert.match(summary, /^100 steps, 100 of 672 memory events,/);
});

test('DPI entry: an emptied field keeps the value, an adjusted one says so, the slider steps by DPI', async () => {
  await go('performance');
  assert.match(await text('.card .hint'), /100 to 26,000 DPI in steps of 50\./);
  // The sliders of the 400 and 3200 DPI stages: that range takes a good part of their length.
  const share = await p.eval(`(() => { const at = (i) => { const r = document.querySelector('[data-key="dpi-range:' + i + '"]'); return r.value / r.max; };
    return at(3) - at(0); })()`);
  assert.deepEqual(await p.eval('window.kelvApp.mode.performance.stages.slice(0, 4).map((s) => s.dpi)'), [400, 800, 1600, 3200]);
  assert.ok(share > 0.35, `400 to 3200 DPI take ${share} of the slider`);
  const dpi = () => p.eval('window.kelvApp.mode.performance.stages[0].dpi');
  const was = await dpi();
  await click('[data-key="dpi-num:0"]');
  await key('a', { ctrl: true });
  await key('Backspace');
  await key('Tab');
  await settle(p);
  assert.equal(await p.eval(`${byKey('dpi-num:0')}.value`), String(was), 'the emptied field shows the value again');
  assert.equal(await dpi(), was);
  await click('[data-key="dpi-num:0"]');
  await key('a', { ctrl: true });
  await p.eval('(window.kelvApp.update(), window.kelvApp.rendered())');
  await settle(p);
  await type('1234');
  await key('Tab');
  await p.until('window.kelvApp.mode.performance.stages[0].dpi === 1250');
  assert.equal(await text('#dpi-note'), 'Stage 1: 1,234 DPI is not a step of 50, so it was set to 1,250 DPI.');
  await untilProp(3, `e204${prop(3).slice(4)}`);
  await click('[data-key="dpi-num:0"]');
  await key('a', { ctrl: true });
  await type('99999');
  await key('Tab');
  await p.until('window.kelvApp.mode.performance.stages[0].dpi === 26000');
  assert.match(await text('#dpi-note'), /^Stage 1: 99,999 DPI is above what the sensor can do/);
  // A render while typing (a device event) neither commits the unfinished
  // number nor loses it; leaving the field commits what was typed.
  await click('[data-key="dpi-num:0"]');
  await key('a', { ctrl: true });
  await type('20');
  await p.eval('(window.kelvApp.update(), window.kelvApp.rendered())');
  assert.equal(await dpi(), 26000, 'nothing committed while typing');
  await type('00');
  assert.equal(await p.eval(`${byKey('dpi-num:0')}.value`), '2000');
  await key('Tab');
  await p.until('window.kelvApp.mode.performance.stages[0].dpi === 2000');
  assert.equal(await text('#dpi-note'), '');
  await click('[data-key="dpi-num:0"]');
  await key('a', { ctrl: true });
  await type('1800');
  await p.eval('(window.kelvApp.update(), window.kelvApp.rendered())');
  await key('Tab');
  await p.until('window.kelvApp.mode.performance.stages[0].dpi === 1800');
  // The slider: a key press is one step of 50 DPI.
  const second = await p.eval('window.kelvApp.mode.performance.stages[1].dpi');
  await focusKey('dpi-range:1');
  await key('ArrowRight');
  await p.until(`window.kelvApp.mode.performance.stages[1].dpi === ${second + 50}`);
  assert.equal(await p.eval(`${byKey('dpi-range:1')}.getAttribute('aria-valuetext')`), `${(second + 50).toLocaleString('en')} DPI`);
});

test('messages do not move the screen and stay with the screen that raised them', async () => {
  await go('performance');
  await spot('[data-key="liftoff:3"]');
  const where = () => p.eval(`(() => { const r = ${byKey('polling:1')}.getBoundingClientRect(); return [r.x, r.y]; })()`);
  // A change the mouse refuses raises a message.
  const refused = async () => {
    p.dcsim('fail', 'write');
    try {
      await clickKey('liftoff:3');
      await p.until(`!!${el('.alert.error')}`);
    } finally {
      p.dcsim('fail', 'none');
    }
  };
  const before = await where();
  await refused();
  const shown = await p.eval(`${el('.alert.error')}.innerText`);
  // dcsim's failing write is a mouse that does not answer (the last result says so).
  assert.match(shown, /The mouse did not answer in time\./);
  assert.doesNotMatch(shown, /writeDevicesProp|failed!/, 'no native text on screen');
  assert.deepEqual(await where(), before, 'nothing moved under the pointer');
  await click('.alert [aria-label="Dismiss"]');
  assert.deepEqual(await where(), before, 'nor when it goes');
  assert.match(p.log, /page: error\.write\.noAnswer: writeDevicesProp failed!/, 'the native answer is in the log');
  await refused();
  await go('lighting');
  assert.equal(await p.eval(`${el('.alert')}`), null, 'the message stayed with Performance');
  // A render between press and release (a device event) does not swallow the click.
  const { x, y } = await spot('[data-key="effect:4"]');
  await p.cdp.send('Input.dispatchMouseEvent', { type: 'mousePressed', x, y, button: 'left', clickCount: 1 });
  await p.eval('(window.kelvApp.update(), window.kelvApp.rendered())');
  await p.cdp.send('Input.dispatchMouseEvent', { type: 'mouseReleased', x, y, button: 'left', clickCount: 1 });
  await p.until('window.kelvApp.mode.lighting.effect === 4');
});

test('another screen opens at its top', async () => {
  await go('performance');
  await p.eval("(document.querySelector('#content').scrollTop = 10000, true)");
  assert.ok(await p.eval("document.querySelector('#content').scrollTop > 0"), 'Performance scrolls at this size');
  await go('lighting');
  assert.equal(await p.eval("document.querySelector('#content').scrollTop"), 0);
  assert.ok(await p.eval("document.querySelector('#content .card-title').getBoundingClientRect().top >= document.querySelector('#content').getBoundingClientRect().top"));
});

test('the system mouse settings a desktop cannot change are disabled up front', async () => {
  await go('system');
  assert.equal(await p.eval("[...document.querySelectorAll('.sys-row input[type=range]')].every((r) => r.disabled)"), true);
  assert.equal(await text('#system-limits'), "This desktop (LXQt) does not let programs change the mouse settings. Change them in the desktop's own mouse settings.");
  assert.equal(await p.eval(`${el('.alert')}`), null, 'no warnings');
});

test('without the mouse the active mode is edited, and the mouse takes it when it comes back', async () => {
  await go('performance');
  p.dcsim('unplug');
  await p.until("window.kelvApp.state.deviceState === 'none'");
  await p.until(`!!${el('#offline-notice')}`);
  // The change the test before made may still be on its way to the disk.
  await p.until("document.querySelector('#save-state').textContent === 'All changes saved'");
  await clickKey('polling:1');
  await p.until('window.kelvApp.mode.performance.pollingRate === 1');
  const file = path.join(p.dir, 'view/xml/configuration.xml');
  for (let i = 0; i < 50 && !fs.readFileSync(file, 'utf8').includes('pollingRate="1"'); i++) await sleep(100);
  assert.match(fs.readFileSync(file, 'utf8'), /pollingRate="1"/, 'saved to disk at once');
  assert.equal(await text('#save-state'), 'All changes saved');
  assert.notEqual(prop(5), '01', 'the unplugged mouse has not got it');
  p.dcsim('plug');
  await p.until("window.kelvApp.state.deviceState === 'ready'");
  await untilProp(5, '01');
  assert.equal(await p.eval(`${el('#offline-notice')}`), null);
});

test('a hot key without Ctrl, Alt or Super gets a hint, and the next try is taken', async () => {
  await go('settings');
  const combo = () => text('[data-key="settings:hotkey"] .combo');
  const change = async (letter) => {
    await clickKey('settings:hotkey');
    assert.equal(await combo(), 'Press the combination…');
    await key('k');
    await settle(p);
    assert.equal(await text('.alert strong'), 'Use Ctrl, Alt or Super with the key (or a function key alone).');
    assert.equal(await combo(), 'Press the combination…', 'still listening after the hint');
    await key(letter, { ctrl: true, alt: true });
    await p.until(`window.kelvApp.state.conf.showConf.startsWith('Ctrl+Alt+${letter.toUpperCase()}')`);
    await settle(p);
    assert.equal(await combo(), `Ctrl + Alt + ${letter.toUpperCase()}`);
  };
  await change('j');
  await change('m'); // the factory hot key back
});

// Xvfb has no notification area: the tray choice minimises the window there,
// and the hint said so also under "Quits the program", whose close button quits.
test('without a tray, the close button\'s hint says what the chosen button does', async () => {
  await go('settings');
  const hint = () => p.eval(`${byKey('settings:close:hide')}.closest('.field').querySelector('.hint')?.textContent ?? ''`);
  assert.equal(await hint(), 'This desktop has no notification area: the close button minimises the window instead.');
  await clickKey('settings:close:closeapp');
  await p.until("window.kelvApp.state.conf.closeFunc === 'closeapp'");
  await settle(p);
  assert.doesNotMatch(await hint(), /minimises/, 'the close button quits');
  await clickKey('settings:close:hide');
  await p.until("window.kelvApp.state.conf.closeFunc === 'hide'");
  await settle(p);
  assert.match(await hint(), /minimises the window instead/);
});

test('German: key caps, the hot key and the built-in names in German', async () => {
  await p.eval("window.kelvApp.settings.setLanguage('de-DE')");
  await go('settings');
  assert.equal(await text('[data-key="settings:hotkey"] .combo'), 'Strg + Alt + M');
  assert.match(await p.eval(`${byKey('topbar:mode')}.selectedOptions[0].textContent`), /^Standard/);
  await go('macros');
  assert.equal(await p.eval(`${byKey('macro:name')}.value`), 'Makro 2');
  await p.eval("window.kelvApp.settings.setLanguage('en')");
});

test('a tooltip at the window edge stays inside the window; scrollbars are the page\'s own', async () => {
  await go('performance');
  const { x, y } = await spot('[data-key="stage-remove:0"]');
  await p.cdp.send('Input.dispatchMouseEvent', { type: 'mouseMoved', x: x - 20, y: y - 40 });
  await p.cdp.send('Input.dispatchMouseEvent', { type: 'mouseMoved', x, y });
  await p.until("!document.querySelector('#tooltip').hidden");
  const tip = await p.eval(`(() => { const r = document.querySelector('#tooltip').getBoundingClientRect();
    return { text: document.querySelector('#tooltip').textContent, left: r.left, right: r.right, bottom: r.bottom }; })()`);
  assert.equal(tip.text, 'Remove stage 1');
  assert.ok(tip.left >= 0 && tip.right <= 1024 && tip.bottom <= 680, JSON.stringify(tip));
  assert.ok(tip.left < x, 'moved left of the pointer to fit');
  assert.equal(await p.eval(`${byKey('stage-remove:0')}.hasAttribute('title')`), false, 'no second tooltip from the browser');
  await p.cdp.send('Input.dispatchMouseEvent', { type: 'mouseMoved', x: 300, y: 20 });
  await p.until("document.querySelector('#tooltip').hidden");
  assert.equal(await p.eval(`${byKey('stage-remove:0')}.title`), 'Remove stage 1');
  // A thin scrollbar in the page's colours, no arrow buttons.
  assert.equal(await p.eval("(() => { const c = document.querySelector('#content'); return c.offsetWidth - c.clientWidth; })()"), 10);
});
