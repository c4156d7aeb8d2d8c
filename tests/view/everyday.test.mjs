// What a new user trips over: DPI entry and the DPI slider, one repeat
// setting per macro, built-in names and key names in the user's language,
// messages that belong to a screen and never show native texts, editing
// without the mouse, saving, and the desktop's mouse settings.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { App } from '../../view/js/app.js';
import { Bridge } from '../../view/js/bridge.js';
import {
  DPI_MAX, DPI_MIN, DPI_SLIDER_POSITIONS, dpiAfterKey, dpiFromSliderPosition, factoryPerformance, readDpiEntry, sliderPositionFromDpi,
} from '../../view/js/devicemap.js';
import { setLanguage, t } from '../../view/js/i18n.js';
import { comboLabel, hotKeyLabel, setWindowsKeyboard } from '../../view/js/keys.js';
import { shownMacroName, shownModeName } from '../../view/js/names.js';
import { PROFILE_PATH, macroUsers, profileFromXml } from '../../view/js/profile.js';
import { ProfileSync } from '../../view/js/profilesync.js';
import { losesLeftClick } from '../../view/js/ui/buttons.js';
import { shownMacro, usedByText } from '../../view/js/ui/macros.js';
import { changeableSettings } from '../../view/js/ui/system.js';
import { FakeMouse, makeNative } from './fake_native.mjs';

const factoryText = readFileSync(new URL('../../resources/profiles/configuration.xml', import.meta.url), 'utf8');
const tick = () => new Promise((r) => setTimeout(r, 0));

test('a typed DPI: an empty field keeps the value, an adjusted one says why', async () => {
  for (const empty of ['', '  ', 'abc', undefined]) assert.equal(readDpiEntry(empty), null, String(empty));
  assert.deepEqual(readDpiEntry('1600'), { asked: 1600, value: 1600, reason: '' });
  assert.deepEqual(readDpiEntry('1234'), { asked: 1234, value: 1250, reason: 'step' });
  assert.deepEqual(readDpiEntry('99999'), { asked: 99999, value: DPI_MAX, reason: 'max' });
  assert.deepEqual(readDpiEntry('0'), { asked: 0, value: DPI_MIN, reason: 'min' });
  await setLanguage('en');
  assert.equal(t('perf.dpiAdjusted.step', { n: 2, asked: 1234, value: 1250, step: 50 }),
    'Stage 2: 1,234 DPI is not a step of 50, so it was set to 1,250 DPI.');
});

test('the DPI slider gives 400 to 3200 DPI a good part of its length, and keys step by DPI', () => {
  const share = (sliderPositionFromDpi(3200) - sliderPositionFromDpi(400)) / DPI_SLIDER_POSITIONS;
  assert.ok(share > 0.35, `400-3200 DPI take ${Math.round(share * 100)} % of the slider`);
  assert.equal(dpiFromSliderPosition(0), DPI_MIN);
  assert.equal(dpiFromSliderPosition(DPI_SLIDER_POSITIONS), DPI_MAX);
  for (let dpi = DPI_MIN; dpi <= DPI_MAX; dpi += 50) assert.equal(dpiFromSliderPosition(sliderPositionFromDpi(dpi)), dpi, `${dpi} survives the slider`);
  let last = 0;
  for (let pos = 0; pos <= DPI_SLIDER_POSITIONS; pos += 1) {
    const dpi = dpiFromSliderPosition(pos);
    assert.ok(dpi >= last && dpi % 50 === 0, `position ${pos}: ${dpi}`);
    last = dpi;
  }
  assert.equal(dpiAfterKey(400, 'ArrowRight'), 450);
  assert.equal(dpiAfterKey(400, 'ArrowDown'), 350);
  assert.equal(dpiAfterKey(400, 'PageUp'), 900);
  assert.equal(dpiAfterKey(DPI_MAX, 'ArrowUp'), DPI_MAX);
  assert.equal(dpiAfterKey(150, 'PageDown'), DPI_MIN);
  assert.equal(dpiAfterKey(800, 'End'), DPI_MAX);
  assert.equal(dpiAfterKey(800, 'a'), null);
});

// A document whose macro 0 says "play once" while buttons run it otherwise.
function withMacroButtons(buttonsByMode) {
  const modes = buttonsByMode.map((list, i) => `<mode index="${i}" name="M${i}" bindingProcess=""><buttons>${
    list.map(([type, p1, p2, p3], b) => `<button index="${b}" type="${type}" p1="${p1}" p2="${p2}" p3="${p3}"/>`).join('')}</buttons></mode>`);
  return `<conf><modeSetting current="0"><modes>${modes.join('')}</modes></modeSetting><macros>
    <macro slot="0" name="Reload" repeat="0" count="1"><step kind="down" code="19" ext="0"/><step kind="up" code="19" ext="0"/></macro>
    </macros><system pointerSpeed="" scrollLines="" doubleClick=""/></conf>`;
}
const left = [1, 1, 0, 0];

test('a macro has one repeat setting, shared by every button that runs it', () => {
  // Every button agrees (5 times): that is what the mouse does, the macro takes it.
  let m = profileFromXml(withMacroButtons([[left, [5, 0, 3, 5]], [left, [1, 2, 0, 0], [5, 0, 3, 5]]]));
  assert.deepEqual([m.macros[0].repeat, m.macros[0].count], [3, 5]);
  assert.equal(m.repaired, true);
  // They disagree: they take the macro's setting.
  m = profileFromXml(withMacroButtons([[left, [5, 0, 3, 5]], [left, [5, 0, 1, 0]]]));
  assert.deepEqual([m.macros[0].repeat, m.macros[0].count], [0, 1]);
  assert.deepEqual([m.modes[0].buttons[1], m.modes[1].buttons[1]].map((b) => [b.p2, b.p3]), [[0, 0], [0, 0]]);
  // Already one setting: nothing to repair.
  m = profileFromXml(withMacroButtons([[left, [5, 0, 0, 0]]]));
  assert.equal(m.repaired, true, 'the document lacks stages and lighting');
  assert.deepEqual([m.macros[0].repeat, m.modes[0].buttons[1].p2], [0, 0]);
});

function appWith({ files = { [PROFILE_PATH]: factoryText }, handlers = {}, mouse } = {}) {
  const win = makeNative({ files, handlers, mouse });
  const app = new App(win);
  app.ui = { render() {}, renderAlerts() {}, updateSaveState() {}, updateChrome() {}, confirmReset() {} };
  return { app, win };
}

test('a macro\'s repeat setting changes the macro and its buttons in every mode, and the mouse', async () => {
  const { app, win } = appWith({ files: { [PROFILE_PATH]: withMacroButtons([[left, [5, 0, 0, 0]], [left, [5, 0, 0, 0]]]) } });
  await app.modes.load();
  await app.device.refresh();
  assert.equal(app.state.deviceState, 'ready');
  await app.macros.setRepeat(0, 3, 7);
  assert.deepEqual([app.macros.get(0).repeat, app.macros.get(0).count], [3, 7]);
  assert.deepEqual(app.state.profile.modes.map((md) => [md.buttons[1].p2, md.buttons[1].p3]), [[3, 7], [3, 7]]);
  assert.deepEqual(win.mouse.props[7].slice(4, 8), [5, 0, 3, 7], 'the mouse plays it 7 times');
  // A refused write puts all of it back.
  win.mouse.failWrites = true;
  await app.macros.setRepeat(0, 1, 7);
  assert.deepEqual([app.macros.get(0).repeat, app.state.profile.modes[1].buttons[1].p2, app.mode.buttons[1].p2], [3, 3, 3]);
});

// A new macro renamed before its first recording was stored as it was, empty,
// and refused: while it was then recorded, the counts below the steps still
// said "0 steps" and the status "no key steps yet" beside the keys coming in.
test('while a macro is recorded, the counts and status below its steps are of the recording', async () => {
  const recorder = { startRecord: () => ({ ok: true, text: 'startRecord success!' }), stopRecord: () => ({ ok: true, text: '' }) };
  const { app } = appWith({ handlers: recorder });
  await app.modes.load();
  await app.device.refresh();
  app.macros.create(0);
  await app.macros.edit(0, (m) => { m.name = 'Reload'; }, { immediate: true });
  assert.equal(app.state.macroStatus[0].error.key, 'macro.error.empty', 'an empty macro is not stored');
  assert.deepEqual(shownMacro(app, 0), { steps: [], status: app.state.macroStatus[0] }, 'as it is before the recording');

  await app.macros.startRecording(0);
  for (const item of [[0, 1, 30, 0], [2, 40, 0, 0], [0, 0, 30, 0]]) app.macros.onItem(item);
  const shown = shownMacro(app, 0);
  assert.deepEqual(shown.steps.map((st) => st.kind), ['down', 'delay', 'up'], 'the keys recorded so far');
  assert.equal(shown.status, null, 'no word of the empty macro being replaced');

  await app.macros.stopRecording();
  await app.macros.store(0);
  assert.deepEqual(shownMacro(app, 0), { steps: app.macros.get(0).steps, status: 'stored' });
});

test('an imported mode\'s macro buttons play their macros as the macros say', async () => {
  // A file in the earlier format: its button runs slot 0 five times.
  const file = '<mode index="0" name="Old"><buttons><button index="1" type="5" p1="0" p2="3" p3="5"/></buttons></mode>';
  const handlers = { openFileDialog: () => ({ ok: true, text: '/home/u/Old.pfd' }), queryExportFile: () => ({ ok: true, text: file }) };
  const imported = async (buttons) => {
    const { app } = appWith({ files: { [PROFILE_PATH]: withMacroButtons([buttons]) }, handlers });
    await app.modes.load();
    await app.modes.importMode();
    const mode = app.state.profile.modes.find((md) => md.name === 'Old');
    return [app.macros.get(0).repeat, app.macros.get(0).count, mode.buttons[1].p2, mode.buttons[1].p3];
  };
  assert.deepEqual(await imported([left, [5, 0, 0, 0]]), [0, 1, 0, 0], 'a macro other buttons play once stays so');
  assert.deepEqual(await imported([left, left]), [3, 5, 3, 5], 'a macro only the imported buttons run takes their setting');
  // Replacing the active mode without the mouse: the mouse gets the file's
  // settings when it comes, not its own stage back.
  const mouse = new FakeMouse();
  const { app, win } = appWith({ files: { [PROFILE_PATH]: withMacroButtons([[left, left]]).replace('name="M0"', 'name="Old"') }, handlers, mouse });
  app.ui.confirm = async () => true;
  win.present = false;
  await app.modes.load();
  await app.device.refresh();
  app.mode.performance.activeStage = 0;
  await app.modes.importMode();
  assert.deepEqual([app.state.profile.modes.length, app.mode.buttons[1].p2], [1, 3], 'replaced');
  mouse.props[2] = [3];
  win.present = true;
  await app.device.refresh();
  assert.deepEqual([app.mode.performance.activeStage, mouse.props[2][0]], [1, 1]);
});

test('an imported mode whose name shows like a mode already there asks first, in any language it was made', async () => {
  // The user's second mode was made in German; the file's in English.
  const file = '<mode index="1" name="Mode 2"><buttons><button index="1" type="1" p1="2" p2="0" p3="0"/></buttons></mode>';
  const handlers = { openFileDialog: () => ({ ok: true, text: '/home/u/Mode 2.pfd' }), queryExportFile: () => ({ ok: true, text: file }) };
  const profile = withMacroButtons([[left], [left]]).replace('name="M0"', 'name="Default"').replace('name="M1"', 'name="Modus 2"');
  for (const [answer, names] of [[true, ['Default', 'Modus 2']], ['alt', ['Default', 'Modus 2', 'Mode 2 (2)']]]) {
    const { app } = appWith({ files: { [PROFILE_PATH]: profile }, handlers });
    const asked = [];
    app.ui.confirm = async (q) => { asked.push(q.text); return answer; };
    await app.modes.load();
    await app.modes.importMode();
    assert.deepEqual(asked, ['There is already a mode named "Mode 2". Replace its settings with the file\'s, or keep both?']);
    assert.deepEqual(app.state.profile.modes.map((md) => md.name), names);
  }
});

// The list of the buttons that run a macro was put together with ", " and
// "(mode)" in every language: Chinese and Japanese showed a Latin comma and
// brackets among their own.
test('the buttons that run a macro are listed with the language\'s own punctuation', async () => {
  const profile = profileFromXml(withMacroButtons([[left, [5, 0, 0, 0]], [left, [5, 0, 0, 0]]])
    .replace('name="M0"', 'name="Default"').replace('name="M1"', 'name="Mode 2"'));
  const users = macroUsers(profile, 0);
  await setLanguage('en');
  assert.equal(usedByText(profile, users), 'Run by: Right button (Default), Right button (Mode 2)');
  await setLanguage('ja');
  assert.equal(usedByText(profile, users), `実行するボタン：${t('button.right')}（既定）、${t('button.right')}（モード 2）`);
  await setLanguage('zh');
  assert.equal(usedByText(profile, users), `使用此宏的按键：${t('button.right')}（默认）、${t('button.right')}（模式 2）`);
  await setLanguage('en');
});

test('the left click is not taken away without asking', () => {
  const buttons = profileFromXml(factoryText).modes[0].buttons;
  assert.equal(losesLeftClick(buttons, 0, { type: 0, p1: 0, p2: 0, p3: 0 }), true);
  assert.equal(losesLeftClick(buttons, 0, { type: 1, p1: 1, p2: 0, p3: 0 }), false);
  assert.equal(losesLeftClick(buttons, 1, { type: 0, p1: 0, p2: 0, p3: 0 }), false);
  buttons[4] = { type: 1, p1: 1, p2: 0, p3: 0 };
  assert.equal(losesLeftClick(buttons, 0, { type: 2, p1: 0, p2: 0x1e, p3: 0 }), false);
});

test('names the program made up are shown in the language chosen now', async () => {
  await setLanguage('de-DE');
  assert.equal(shownModeName('Default'), 'Standard');
  assert.equal(shownModeName('Mode 3'), 'Modus 3');
  assert.equal(shownMacroName('Macro 1'), 'Makro 1');
  assert.equal(shownMacroName('Reload'), 'Reload');
  assert.equal(shownModeName('Default mode'), 'Default mode');
  await setLanguage('en');
  assert.equal(shownMacroName('Makro 12'), 'Macro 12');
  assert.equal(shownModeName('默认'), 'Default');
  await setLanguage('ja');
  assert.equal(shownModeName('모드 2'), 'モード 2');
  await setLanguage('en');
});

// An emptied mode name field shows the name again and is taken as the new
// name: a built-in name shown in German ("Standard") was stored as typed, and
// stayed German in every other language.
test('a mode name left as it is shown keeps the name the program gave it', async () => {
  const { app } = appWith();
  await app.modes.load();
  await setLanguage('de-DE');
  app.modes.rename(0, 'Standard');
  assert.equal(app.state.profile.modes[0].name, 'Default');
  app.modes.rename(0, 'Mein Modus');
  assert.equal(app.state.profile.modes[0].name, 'Mein Modus', 'a name typed is taken');
  await setLanguage('en');
});

test('key and hot-key names: Super on Linux, Win on Windows, German key caps', async () => {
  setWindowsKeyboard(false);
  await setLanguage('en');
  assert.equal(comboLabel(8 | 1, 0x1e, 0), 'Ctrl + Super + A');
  assert.equal(hotKeyLabel('Ctrl+Alt+M'), 'Ctrl + Alt + M');
  assert.equal(hotKeyLabel('Meta+PgDown'), 'Super + Page Down');
  assert.equal(t('settings.hotkeyModifier', { ctrl: 'Ctrl', alt: 'Alt', meta: 'Super' }), 'Use Ctrl, Alt or Super with the key (or a function key alone).');
  await setLanguage('de-DE');
  assert.equal(hotKeyLabel('Ctrl+Alt+M'), 'Strg + Alt + M');
  assert.equal(hotKeyLabel('Ctrl+Shift+Del'), 'Strg + Umschalt + Entf');
  assert.equal(hotKeyLabel('Ctrl++'), 'Strg + +');
  setWindowsKeyboard(true);
  assert.equal(hotKeyLabel('Meta+F5'), 'Win + F5');
  setWindowsKeyboard(false);
  await setLanguage('en');
  assert.equal(hotKeyLabel(''), '');
});

test('messages belong to the screen that raised them; native texts stay off the screen', () => {
  const { app } = appWith();
  const warned = [];
  const warn = console.warn;
  console.warn = (m) => warned.push(m);
  try {
    app.state.screen = 'modes';
    app.error('error.import', 'modifyReplaceProfile load xml file failed!');
    app.error('error.import', 'saveXmlAs load xml file failed!');
    app.error('error.profileStore', 'modifyProfileEx load xml file failed!', [], { everywhere: true });
    app.info('modes.imported', { name: 'x' });
  } finally {
    console.warn = warn;
  }
  assert.deepEqual(app.alerts.map((a) => a.key), ['error.import', 'error.profileStore', 'modes.imported'], 'the same message is shown once');
  assert.deepEqual(warned, ['error.import: modifyReplaceProfile load xml file failed!', 'error.import: saveXmlAs load xml file failed!',
    'error.profileStore: modifyProfileEx load xml file failed!'], 'what the program answered goes to the log');
  app.state.view.pendingAction = { button: 0, type: 2 };
  app.showScreen('modes');
  assert.equal(app.alerts.length, 3, 'staying on the screen keeps them');
  app.showScreen('performance');
  assert.deepEqual(app.alerts.map((a) => a.key), ['error.profileStore']);
  assert.deepEqual(app.state.view, {}, 'what the last screen was in the middle of goes too');
});

test('renders wait while a mouse button is down', async () => {
  const { app } = appWith();
  let renders = 0;
  app.ui.render = () => { renders += 1; };
  app.holdRenders(true);
  app.update();
  await app.rendered();
  assert.equal(renders, 0);
  app.holdRenders(false);
  await app.rendered();
  assert.equal(renders, 1, 'the render missed comes after the release');
  app.holdRenders(true);
  app.holdRenders(false);
  await app.rendered();
  assert.equal(renders, 1, 'nothing missed, nothing to render');
});

test('without a mouse the active mode is edited, and written when the mouse comes', async () => {
  const mouse = new FakeMouse();
  const { app, win } = appWith({ mouse });
  win.present = false;
  await app.modes.load();
  await app.device.refresh();
  assert.equal(app.state.deviceState, 'none');
  // The stage the mouse was left on (stage 4) differs from the profile's.
  mouse.props[2] = [3];
  assert.equal(await app.modes.change((m) => { m.performance.pollingRate = 2; m.performance.activeStage = 0; }, [5, 2]), true);
  assert.equal(mouse.log.length, 0, 'nothing written without the mouse');
  win.present = true;
  await app.device.refresh();
  assert.equal(app.state.deviceState, 'ready');
  assert.deepEqual([mouse.props[5][0], mouse.props[2][0]], [2, 0], 'the mouse takes the settings made without it');
  assert.equal(app.mode.performance.activeStage, 0);
  // Next time the stage picked with the mouse's own button stays, as before.
  win.present = false;
  await app.device.refresh();
  mouse.props[2] = [3];
  win.present = true;
  await app.device.refresh();
  assert.equal(app.mode.performance.activeStage, 3);
  // A screen put back to the factory settings without the mouse is a change too.
  win.present = false;
  await app.device.refresh();
  assert.equal(await app.modes.replaceSection(app.mode.index, 'performance', factoryPerformance()), true);
  win.present = true;
  await app.device.refresh();
  assert.deepEqual([app.mode.performance.activeStage, mouse.props[2][0]], [1, 1], 'the factory stage, not the one the mouse was on');
});

test('a listed mouse whose settings cannot be read is not read again and again', async () => {
  const mouse = new FakeMouse();
  mouse.props = {}; // every read answers zeros, as a mouse that stopped answering does
  const { app, win } = appWith({ mouse });
  await app.modes.load();
  // Answers come a task later, as from the real native side, so a loop of
  // requests cannot keep the timers below from running.
  const query = win.cefQuery.bind(win);
  let answering = true;
  win.cefQuery = (q) => query({
    ...q,
    onSuccess: (text) => { if (answering) setTimeout(() => q.onSuccess(text), 0); },
    onFailure: (code, text) => { if (answering) setTimeout(() => q.onFailure(code, text), 0); },
  });
  const looks = () => win.requests.filter((r) => r.includes('"getDevicesList"')).length;
  try {
    app.device.refresh();
    for (let i = 0; i < 100; i++) await tick();
    assert.equal(app.state.deviceState, 'error');
    const seen = looks();
    for (let i = 0; i < 100; i++) await tick();
    assert.equal(looks(), seen, 'the device list is left alone until something happens');
    assert.ok(seen <= 2, `${seen} looks at the device list`);
    // A device event tries the mouse once more.
    win.emit('devicesChanged', 1);
    for (let i = 0; i < 100; i++) await tick();
    assert.equal(app.state.deviceState, 'error');
    assert.ok(looks() - seen <= 2, `${looks() - seen} looks after the event`);
  } finally {
    answering = false; // ends a loop of requests, if there is one
    app.bridge.cancelAll();
  }
});

test('every change is written to disk shortly after; a profile that could not be read never is', async () => {
  const win = makeNative({ files: { [PROFILE_PATH]: factoryText } });
  const model = profileFromXml(factoryText);
  const pending = [];
  const timers = { setTimeout: (fn) => pending.push(fn), clearTimeout() {} };
  const states = [];
  let readable = true;
  const sync = new ProfileSync(new Bridge(win), () => model, { timers, onState: (s) => states.push(s), autoSave: () => readable });
  model.modes[0].lighting.speed = 9;
  sync.markMode('0');
  pending.pop()();
  await sync.chain;
  assert.deepEqual(states, ['pending', 'saved']);
  assert.ok(win.requests.at(-1).includes('savexml'));
  readable = false;
  const sent = win.requests.length;
  sync.markMode('0');
  pending.pop()();
  await sync.chain;
  assert.equal(states.at(-1), 'stored');
  assert.ok(!win.requests.slice(sent).some((r) => r.includes('savexml')));
});

// A profile that does not parse takes no change: the page says so once (with
// the reset), not again with advice to try again that can never help.
test('a profile that could not be read is the one message when changes cannot be kept', async () => {
  const refuse = { modifyProfileEx: () => ({ ok: false, text: 'modifyProfileEx failed!' }) };
  const { app } = appWith({ files: { [PROFILE_PATH]: factoryText.slice(0, 200) }, handlers: refuse });
  await app.modes.load();
  app.modes.rename('0', 'Kept in memory');
  await app.sync.flush().catch(() => {});
  assert.equal(app.state.saveState, 'failed');
  assert.deepEqual(app.alerts.map((a) => a.key), ['error.profileRead']);
});

test('the desktop\'s mouse settings offered are those it keeps', () => {
  assert.deepEqual(changeableSettings({}), ['pointerSpeed', 'scrollLines', 'doubleClick'], 'an older program does not say');
  assert.deepEqual(changeableSettings({ systemMouse: { pointerSpeed: true, scrollLines: false, doubleClick: true } }), ['pointerSpeed', 'doubleClick']);
  assert.deepEqual(changeableSettings({ systemMouse: { pointerSpeed: false, scrollLines: false, doubleClick: false } }), []);
});
