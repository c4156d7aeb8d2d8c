import { test } from 'node:test';
import assert from 'node:assert/strict';
import { App } from '../../view/js/app.js';
import * as rq from '../../view/js/requests.js';
import { PROFILE_PATH, confContentXml, profileFromXml } from '../../view/js/profile.js';
import { factoryLighting } from '../../view/js/devicemap.js';
import { makeNative, memoryStorage } from './fake_native.mjs';
import { boundKey } from '../../view/js/boundmodes.js';
import { systemShown } from '../../view/js/ui/system.js';

const tick = () => new Promise((r) => setTimeout(r, 0));

// An App over the Node stand-in of the native side, with a counting renderer
// in place of the screens.
function appWith(handlers = {}) {
  const win = makeNative({ handlers, files: { [PROFILE_PATH]: '<conf/>' } });
  const app = new App(win);
  app.renders = 0;
  app.ui = { render: () => { app.renders += 1; }, renderAlerts() {}, updateSaveState() {}, updateChrome() {}, renderRecording() {} };
  app.state.profile = profileFromXml('<conf/>');
  return { app, win };
}

test('changes in one turn are rendered once, and a later change renders again', async () => {
  const { app } = appWith();
  app.update();
  app.update();
  app.modes.rename(app.mode.index, 'Work');
  app.update();
  assert.equal(app.renders, 0, 'rendering waits until the current task is done');
  await app.rendered();
  assert.equal(app.renders, 1);
  app.update();
  await app.rendered();
  assert.equal(app.renders, 2);
});

test('a reply other than the success text is a failure with its own text', async () => {
  const { app } = appWith({
    setConf: () => ({ ok: true, text: 'cant find conf.xml' }),
    startRecord: () => ({ ok: false, text: 'the keyboard cannot be read' }),
    confChanged: () => ({ ok: true, text: 'confChanged' }),
    modifyMouseSpeed: () => ({ ok: true, text: 'modifyMouseSpeed success' }),
    modifyMouseScrollLines: () => ({ ok: true, text: '' }),
  });
  assert.equal(await app.settings.set('closeFunc', 'closeapp'), false);
  assert.equal(app.state.conf.closeFunc, undefined, 'the refused setting is not taken');
  await app.macros.startRecording(0);
  assert.equal(app.state.recording, null);
  await app.settings.setSystem('pointerSpeed', 12);
  assert.equal(app.state.systemStatus.pointerSpeed, 'ok');
  assert.equal(app.state.profile.system.pointerSpeed, '12');
  await app.settings.setSystem('scrollLines', 5);
  assert.deepEqual(app.state.systemStatus.scrollLines, { error: 'empty answer' });
  // The System screen says it beside the setting; no message on top.
  assert.deepEqual(app.alerts.map((a) => [a.key, a.detail]), [
    ['error.setConf', 'cant find conf.xml'], ['error.record', 'the keyboard cannot be read']]);
});

// The System screen shows what the desktop holds now (it used to show what
// kelv set last, and 620 ms for a double-click time never set).
test('the System screen shows the desktop\'s values, read each time it opens', async () => {
  let desktop = { pointerSpeed: 13, scrollLines: null, doubleClick: 400 };
  const { app } = appWith({
    getSystemMouse: () => ({ ok: true, text: JSON.stringify(desktop) }),
    modifyMouseDoubleClick: () => ({ ok: true, text: 'modifyMouseDoubleClick success' }),
  });
  app.state.profile.system.doubleClick = '2';
  app.showScreen('system');
  assert.equal(app.state.systemDesktop.reading, true);
  await app.settings.readSystem();
  assert.deepEqual(app.state.systemDesktop, { values: desktop });
  // 400 ms is no step of the slider: its nearest (410 ms), with 400 ms beside it.
  assert.deepEqual(systemShown('doubleClick', app.state.systemDesktop, app.state.profile.system.doubleClick),
    { position: 8, label: '400 ms', lastSet: false });
  assert.deepEqual(systemShown('pointerSpeed', app.state.systemDesktop, ''), { position: 13, label: null, lastSet: false });
  assert.deepEqual(systemShown('scrollLines', app.state.systemDesktop, '7'), { position: 3, label: 'Not known', lastSet: false });
  // Set on the page: the desktop holds the step now.
  await app.settings.setSystem('doubleClick', 3);
  assert.equal(app.state.systemDesktop.values.doubleClick, 760);
  assert.deepEqual(systemShown('doubleClick', app.state.systemDesktop, '3'), { position: 3, label: null, lastSet: false });
  // Changed in the desktop's own settings meanwhile: the screen opened again shows it.
  desktop = { pointerSpeed: 'default', scrollLines: 40, doubleClick: 270 };
  app.showScreen('performance');
  app.showScreen('system');
  await app.settings.readSystem();
  assert.deepEqual(systemShown('pointerSpeed', app.state.systemDesktop, '12'), { position: 10, label: 'The desktop\'s default', lastSet: false });
  assert.deepEqual(systemShown('scrollLines', app.state.systemDesktop, ''), { position: 20, label: '40 lines', lastSet: false });
  assert.deepEqual(systemShown('doubleClick', app.state.systemDesktop, '3'), { position: 10, label: null, lastSet: false });
});

test('a program that cannot read the desktop shows what kelv set last, and says so', async () => {
  const { app } = appWith({ getSystemMouse: () => ({ ok: false, text: 'unknown command' }) });
  app.state.profile.system.pointerSpeed = '12';
  await app.settings.readSystem();
  assert.deepEqual(app.state.systemDesktop, { failed: true });
  assert.deepEqual(systemShown('pointerSpeed', app.state.systemDesktop, '12'), { position: 12, label: null, lastSet: true });
  assert.deepEqual(systemShown('doubleClick', app.state.systemDesktop, ''), { position: 5, label: null, lastSet: true });
});

// A profile folder kelv may not write loses every change at quit: the page
// says so from the start and when a save is refused, with what to do.
test('a profile folder kelv may not write is said at once, and Try again saves', async () => {
  let writable = false;
  let saved = 0;
  const { app } = appWith({
    getSessionInfo: () => ({ ok: true, text: JSON.stringify({ profileFolder: '/home/u/.config/kelv/view/xml', profileWritable: writable }) }),
    savexml: () => { saved += writable ? 1 : 0; return writable ? { ok: true, text: 'save xml success' } : { ok: false, text: 'savexml failed: read-only /home/u/.config/kelv/view/xml' }; },
  });
  await app.settings.loadSession();
  const said = () => app.alerts.filter((a) => a.key === 'error.readOnly');
  assert.deepEqual(said().map((a) => [a.vars.folder, a.screen]), [['/home/u/.config/kelv/view/xml', null]]);
  // A change then refused by the native side says the same, once, and not
  // "restart the program".
  app.modes.rename(app.mode.index, 'Work');
  await app.sync.flush().catch(() => {});
  assert.equal(app.state.saveState, 'failed');
  assert.equal(said().length, 1);
  assert.deepEqual(app.alerts.filter((a) => a.key === 'error.profileStore'), []);
  // The folder made writable: Try again looks again and saves.
  writable = true;
  await said()[0].actions[0].run();
  assert.deepEqual(said(), []);
  assert.equal(app.state.saveState, 'saved');
  assert.ok(saved >= 1, 'written to disk');
});

test('the request builders and their success texts', () => {
  assert.equal(rq.settings.set('language', 'de-DE'), '{"funcname":"setConf","confKey":"language","confValue":"de-DE"}');
  assert.equal(rq.systemMouse.set('doubleClick', 3), '{"funcname":"modifyMouseDoubleClick","position":3}');
  assert.equal(rq.systemMouse.done('scrollLines'), 'modifyMouseScrollLines success');
  assert.throws(() => rq.systemMouse.set('cursorSize', 1), RangeError);
  assert.equal(rq.expectReply('saveXmlAs success', rq.profile.exportDone), 'saveXmlAs success');
  assert.throws(() => rq.expectReply('saveXmlAs failed', rq.profile.exportDone), /saveXmlAs failed/);
  assert.equal(rq.emptyReply('true'), true);
  assert.equal(rq.emptyReply('false'), false);
  assert.equal(rq.emptyReply('isPropEmpty failed'), null);
});

test('a bound program takes its mode and gives the previous one back', async () => {
  const { app, win } = appWith({ confChanged: () => ({ ok: true, text: 'confChanged' }) });
  app.modes.listen();
  const game = await app.modes.add();
  assert.equal(app.state.profile.current, '0');
  win.emit('onProcessChanged', Number(game), true);
  await tick();
  assert.equal(app.state.profile.current, game);
  assert.deepEqual(app.alerts.map((a) => a.key), ['modes.switched']);
  win.emit('onProcessChanged', Number(game), false);
  await tick();
  assert.equal(app.state.profile.current, '0');
});

test('a bound program reported again by a restarted monitor leaves the mode the user chose', async () => {
  const { app, win } = appWith({
    confChanged: () => ({ ok: true, text: 'confChanged' }),
    openFileDialogExe: () => ({ ok: true, text: '/opt/other/game' }),
  });
  app.modes.listen();
  const game = await app.modes.add();
  win.emit('onProcessChanged', game, true);
  await tick();
  assert.equal(app.state.profile.current, game);
  await app.modes.switchTo('0');
  // Binding another mode restarts the monitor, whose first look reports the
  // program that still runs once more.
  win.emit('onProcessChanged', game, true);
  await tick();
  assert.equal(app.state.profile.current, '0', 'the user left the mode while the program ran');
  win.emit('onProcessChanged', game, false);
  await tick();
  assert.equal(app.state.profile.current, '0');
  assert.deepEqual(app.state.boundRunning, []);
  // Bound to another program while the first still runs: the new one's start
  // takes the mode, although the first one's end was never reported.
  win.emit('onProcessChanged', game, true);
  await tick();
  await app.modes.switchTo('0');
  await app.modes.bind(game);
  assert.equal(app.mode.index, '0');
  win.emit('onProcessChanged', game, true);
  await tick();
  assert.equal(app.state.profile.current, game);
});

test('a new mode never takes the name of a mode already there', async () => {
  const { app } = appWith();
  const second = await app.modes.add();
  await app.modes.add();
  await app.modes.remove(second);
  await app.modes.add();
  // A name made in another language is the same name on screen.
  app.state.profile.modes[0].name = 'Modus 5';
  await app.modes.add();
  assert.deepEqual(app.state.profile.modes.map((m) => m.name), ['Modus 5', 'Mode 3', 'Mode 4', 'Mode 6']);
});

test('a deleted mode leaves nothing behind for the bound programs', async () => {
  const { app, win } = appWith({
    confChanged: () => ({ ok: true, text: 'confChanged' }),
    openFileDialogExe: () => ({ ok: true, text: '/opt/third/game' }),
  });
  app.modes.listen();
  const home = await app.modes.add();
  const other = await app.modes.add();
  const game = await app.modes.add();
  await app.modes.switchTo(home);
  win.emit('onProcessChanged', game, true);
  win.emit('onProcessChanged', other, true);
  await tick();
  assert.equal(app.state.profile.current, other);
  // The first program's mode and the mode to go back to are deleted while
  // both programs run.
  await app.modes.remove(game);
  await app.modes.remove(home);
  win.emit('onProcessChanged', other, false);
  await tick();
  assert.equal(app.state.profile.current, '0', 'back to a mode that exists');
  // A new mode takes the deleted one's index: its own program's start switches.
  const next = await app.modes.add();
  assert.equal(next, game);
  await app.modes.bind(next);
  win.emit('onProcessChanged', next, true);
  await tick();
  assert.equal(app.state.profile.current, next);
});

// A page started afresh over a profile whose current mode is the game's ('1',
// bound to a program) with home mode '0'; kept: what the page's storage holds
// from the run before; running: the answer of getRunningBindings (an Error:
// a failure; undefined: none yet).
const HERE = 'file:///opt/kelv/view/xml/configuration.xml';
const GAME_PROFILE = '<conf><modeSetting current="1"><modes><mode index="0" name="Home" bindingProcess=""/>'
  + '<mode index="1" name="Game" bindingProcess="/opt/game"/><mode index="2" name="Race" bindingProcess="/opt/race"/></modes></modeSetting></conf>';
async function startedApp({ kept = { running: ['1'], home: '0' }, running = [], mainPage = true, current = '1', where = HERE } = {}) {
  const storage = memoryStorage();
  if (kept) storage.setItem(boundKey(where), JSON.stringify(kept));
  const win = makeNative({
    files: { [PROFILE_PATH]: GAME_PROFILE.replace('current="1"', `current="${current}"`) },
    localStorage: storage,
    handlers: {
      getSessionInfo: () => ({ ok: true, text: JSON.stringify({ mainPage }) }),
      getRunningBindings: () => (running === undefined ? undefined
        : running instanceof Error ? { ok: false, text: running.message } : { ok: true, text: JSON.stringify(running) }),
      confChanged: () => ({ ok: true, text: 'confChanged' }),
    },
  });
  const app = new App(win);
  app.ui = { render() {}, renderAlerts() {}, updateSaveState() {}, updateChrome() {}, renderRecording() {} };
  app.bridge.hold();
  app.modes.listen();
  await app.settings.loadSession();
  await app.modes.load();
  app.modes.resumeBound();
  const kept_ = () => JSON.parse(storage.getItem(boundKey(HERE)));
  const asked = () => win.requests.filter((r) => r.includes('getRunningBindings')).length;
  return { app, win, storage, kept: kept_, asked };
}

test('started afresh, the page leaves the mode a program chose once that program is seen not to run', async () => {
  const { app, kept, asked } = await startedApp({ running: ['2'] });
  // Claimed until the monitor has looked.
  assert.deepEqual(app.state.boundRunning, ['1']);
  app.bridge.release();
  await app.modes.resumed;
  await tick();
  assert.equal(asked(), 1);
  assert.equal(app.state.profile.current, '0', 'back to the mode of before');
  assert.deepEqual(app.alerts.map((a) => [a.key, a.vars.name]), [['modes.switched', 'Home']]);
  assert.deepEqual(app.state.boundRunning, []);
  assert.equal(kept(), null, 'nothing is kept once home');
});

test('started afresh while the program runs, the mode stays and its end goes home', async () => {
  const { app, win, kept } = await startedApp({ running: ['1'] });
  // The monitor's first look reports the running program as it starts.
  win.emit('onProcessChanged', '1', true);
  app.bridge.release();
  await app.modes.resumed;
  await tick();
  assert.equal(app.state.profile.current, '1');
  assert.deepEqual(app.alerts, []);
  assert.deepEqual(app.state.boundRunning, ['1']);
  assert.deepEqual(kept(), { running: ['1'], home: '0' });
  win.emit('onProcessChanged', '1', false);
  await tick();
  assert.equal(app.state.profile.current, '0');
  assert.equal(kept(), null);
});

test('of two stacked programs, the one that ended gives way to the one that runs', async () => {
  const { app } = await startedApp({ kept: { running: ['1', '2'], home: '0' }, running: ['1'], current: '2' });
  app.bridge.release();
  await app.modes.resumed;
  await tick();
  assert.equal(app.state.profile.current, '1');
  assert.deepEqual(app.state.boundRunning, ['1']);
});

test('what was kept does not decide for the popup, another profile, or a mode the user chose', async () => {
  // The popup's page: the main page follows the programs; a pick ends what was kept.
  const popup = await startedApp({ mainPage: false });
  releaseEvents(popup.app);
  await popup.app.modes.resumed;
  assert.equal(popup.asked(), 0);
  assert.equal(popup.app.state.profile.current, '1');
  assert.deepEqual(popup.app.state.boundRunning, []);
  assert.notEqual(popup.kept(), null);
  await popup.app.modes.switchTo('1');
  assert.equal(popup.kept(), null, 'a mode picked by hand ends it');

  // Kept for another program folder's profile; or the profile's current mode
  // is no longer the one a program chose: nothing is asked, nothing changes.
  const elsewhere = await startedApp({ where: 'file:///elsewhere/view/xml/configuration.xml' });
  releaseEvents(elsewhere.app);
  await elsewhere.app.modes.resumed;
  assert.equal(elsewhere.asked(), 0);
  assert.equal(elsewhere.app.state.profile.current, '1');
  assert.notEqual(elsewhere.storage.getItem(boundKey('file:///elsewhere/view/xml/configuration.xml')), null, 'left to its own profile');
  for (const kept of [{ running: ['2'], home: '0' }, { running: ['1'], home: '9' }]) {
    const other = await startedApp({ kept });
    releaseEvents(other.app);
    await other.app.modes.resumed;
    assert.equal(other.asked(), 0);
    assert.equal(other.app.state.profile.current, '1');
    assert.equal(other.kept(), null, 'what no longer holds is forgotten');
  }

  // A mode picked while the answer is awaited stays.
  const picked = await startedApp({ running: undefined });
  releaseEvents(picked.app);
  await picked.app.modes.switchTo('2');
  assert.equal(picked.kept(), null);
  picked.app.modes.onProcessChanged('1', false);
  assert.equal(picked.app.state.profile.current, '2');

  // Not known (the process list cannot be read): the mode stays.
  const unknown = await startedApp({ running: new Error('getRunningBindings failed: the running programs cannot be read') });
  releaseEvents(unknown.app);
  await unknown.app.modes.resumed;
  assert.equal(unknown.app.state.profile.current, '1');
  assert.deepEqual(unknown.app.state.boundRunning, ['1']);
});

test('the main page keeps the mode a program chose while it is current', async () => {
  const { app, win, kept } = await startedApp({ kept: null });
  releaseEvents(app);
  await app.modes.switchTo('0');
  assert.equal(kept(), null);
  win.emit('onProcessChanged', '2', true);
  await tick();
  assert.deepEqual(kept(), { running: ['2'], home: '0' });
  win.emit('onProcessChanged', '1', true);
  await tick();
  assert.deepEqual(kept(), { running: ['2', '1'], home: '0' });
  // The one below ends: what is kept follows, the mode stays.
  win.emit('onProcessChanged', '2', false);
  await tick();
  assert.deepEqual(kept(), { running: ['1'], home: '0' });
  await app.modes.switchTo('2');
  assert.equal(kept(), null, 'the user chose');
});

function releaseEvents(app) {
  app.bridge.release();
}

const item = (pressed, scan) => ['0', pressed ? '1' : '0', String(scan), '0'];
const wait = (ms) => ['2', String(ms), '0', '0'];
const keysOf = (steps) => steps.filter((x) => x.kind !== 'delay').map((x) => `${x.kind} ${x.scan}`);

// A recording of Space, Enter and Tab typed with pauses, as the recorder
// reports it; Esc pressed at the end.
function typeSpaceEnterTab(win, { esc = true } = {}) {
  for (const scan of [0x39, 0x1c, 0x0f]) {
    win.emit('macroItem', ...item(true, scan));
    win.emit('macroItem', ...wait(70));
    win.emit('macroItem', ...item(false, scan));
    win.emit('macroItem', ...wait(130));
  }
  if (esc) win.emit('macroItem', ...item(true, 0x01));
}

test('a recording goes on while the mouse is unplugged, and the macro reaches the mouse when it is back', async () => {
  const { app, win } = appWith({ startRecord: () => ({ ok: true, text: 'startRecord success!' }), stopRecord: () => ({ ok: true, text: 'stopRecord success' }) });
  app.macros.listen();
  await app.device.refresh();
  assert.equal(app.state.deviceState, 'ready');
  app.macros.create(0);
  await app.macros.startRecording(0);
  win.emit('macroItem', ...item(true, 0x1e));
  win.emit('macroItem', ...item(false, 0x1e));
  win.present = false;
  await app.device.refresh();
  assert.equal(app.state.deviceState, 'none');
  assert.notEqual(app.state.recording, null, 'still recording');
  win.emit('macroItem', ...item(true, 0x30));
  win.emit('macroItem', ...item(false, 0x30));
  await app.macros.stopRecording();
  assert.deepEqual(keysOf(app.macros.get(0).steps), ['down 30', 'up 30', 'down 48', 'up 48']);
  win.present = true;
  await app.device.refresh();
  await tick();
  assert.equal(app.state.macroStatus[0], 'stored');
});

test('every key is recorded, Space and Enter too; Esc stops and is not part of the macro', async () => {
  const { app, win } = appWith({ startRecord: () => ({ ok: true, text: 'startRecord success!' }), stopRecord: () => ({ ok: true, text: 'stopRecord success' }) });
  app.macros.listen();
  app.macros.create(0);
  await app.macros.startRecording(0);
  typeSpaceEnterTab(win);
  await tick();
  // Esc has stopped the recording by itself; items still in flight count.
  assert.ok(win.requests.some((r) => r.includes('stopRecord')));
  win.emit('macroItem', ...wait(40));
  win.emit('macroItem', ...item(false, 0x01));
  await tick();
  await tick();
  assert.equal(app.state.recording, null);
  const steps = app.macros.get(0).steps;
  assert.deepEqual(keysOf(steps), ['down 57', 'up 57', 'down 28', 'up 28', 'down 15', 'up 15']);
  assert.deepEqual(steps.filter((x) => x.kind === 'delay').map((x) => x.ms), [70, 130, 70, 130, 70], 'as recorded');
});

test('delays as recorded, none or fixed; with Esc recorded only the pointer stops', async () => {
  const { app, win } = appWith({ startRecord: () => ({ ok: true, text: 'startRecord success!' }), stopRecord: () => ({ ok: true, text: 'stopRecord success' }) });
  app.macros.listen();
  app.macros.create(0);
  const record = async (recording, { esc = true } = {}) => {
    app.macros.setRecording((r) => Object.assign(r, recording));
    await app.macros.startRecording(0);
    typeSpaceEnterTab(win, { esc });
    await tick();
    if (!app.state.recording?.stopping) await app.macros.stopRecording(); // the pointer
    for (let i = 0; i < 10 && app.state.recording; i++) await tick();
    return app.macros.get(0).steps;
  };
  let steps = await record({ delays: 'none' });
  assert.deepEqual(steps.map((x) => x.kind), ['down', 'up', 'down', 'up', 'down', 'up']);
  steps = await record({ delays: 'fixed', fixedMs: 25 });
  assert.deepEqual(steps.filter((x) => x.kind === 'delay').map((x) => x.ms), [25, 25, 25, 25, 25]);
  steps = await record({ delays: 'recorded', stopKey: 'none' }, { esc: false });
  assert.deepEqual(keysOf(steps), ['down 57', 'up 57', 'down 28', 'up 28', 'down 15', 'up 15']);
  steps = await record({ delays: 'recorded', stopKey: 'none' });
  assert.deepEqual(keysOf(steps).slice(-2), ['down 1', 'up 1'], 'Esc is a key like any other (released at the end)');
  assert.equal(app.state.recording, null);
  // The choices are kept in the profile.
  const again = profileFromXml(`<conf>${confContentXml(app.state.profile)}</conf>`);
  assert.deepEqual(again.recording, { delays: 'recorded', fixedMs: 25, stopKey: 'none' });
});

test('a new recording and a deleted step can be undone for a few seconds', async () => {
  const { app, win } = appWith({ startRecord: () => ({ ok: true, text: 'startRecord success!' }), stopRecord: () => ({ ok: true, text: 'stopRecord success' }) });
  app.macros.listen();
  app.macros.create(0);
  const first = [{ kind: 'down', scan: 30, ext: 0 }, { kind: 'delay', ms: 50 }, { kind: 'up', scan: 30, ext: 0 }];
  await app.macros.edit(0, (m) => { m.steps = structuredClone(first); }, { immediate: true });
  await app.macros.startRecording(0);
  typeSpaceEnterTab(win);
  await tick();
  await tick();
  assert.deepEqual(keysOf(app.macros.get(0).steps).slice(0, 2), ['down 57', 'up 57']);
  const undo = app.alerts.find((a) => a.key === 'macros.undoRecording');
  assert.ok(undo, 'the replaced steps can come back');
  assert.equal(undo.actions[0].label, 'action.undo');
  undo.actions[0].run();
  await tick();
  assert.deepEqual(app.macros.get(0).steps, first);
  app.macros.editSteps(0, (s) => s.slice(1), 'macros.undoStep');
  app.macros.editSteps(0, (s) => s.slice(1), 'macros.undoStep');
  assert.equal(app.macros.get(0).steps.length, 1);
  const undos = app.alerts.filter((a) => a.key === 'macros.undoStep');
  assert.equal(undos.length, 1, 'the latest deletion is the one offered');
  undos[0].actions[0].run();
  await tick();
  assert.deepEqual(app.macros.get(0).steps, first.slice(1));
});

test('a deleted DPI stage and a reset screen come back with Undo', async () => {
  const { app } = appWith();
  const before = structuredClone(app.mode.performance);
  await app.modes.changeUndoable('performance', (m) => { m.performance.stages.splice(1, 1); m.performance.stageCount -= 1; }, [], 'perf.undoRemoveStage', { n: 2 });
  assert.equal(app.mode.performance.stageCount, before.stageCount - 1);
  await app.alerts.find((a) => a.key === 'perf.undoRemoveStage').actions[0].run();
  assert.deepEqual(app.mode.performance, before);
  app.mode.lighting.effect = 4;
  const lighting = structuredClone(app.mode.lighting);
  await app.modes.resetSection('lighting');
  assert.deepEqual(app.mode.lighting, factoryLighting());
  await app.alerts.find((a) => a.key === 'screenReset.done').actions[0].run();
  assert.deepEqual(app.mode.lighting, lighting);
});

// The mouse's stage 1 DPI and polling rate as it holds them.
const heldDpiAndRate = (mouse) => [mouse.props[3][0] | (mouse.props[3][1] << 8), mouse.props[5][0]];

// An App over a ready mouse, with a second mode of the given stage 1 DPI and
// polling rate made and shown (mode 0 has 400 DPI at 1000 Hz).
async function appWithSecondMode(dpi, rate) {
  const { app, win } = appWith({ confChanged: () => ({ ok: true, text: 'confChanged' }) });
  await app.device.refresh();
  const other = await app.modes.add();
  await app.modes.switchTo(other);
  await app.modes.change((s) => { s.performance.stages[0].dpi = dpi; s.performance.pollingRate = rate; }, [3, 5]);
  return { app, win, other };
}

test('a mode picked before the write of a change has returned gets its own values on the mouse', async () => {
  const { app, win } = appWith({ confChanged: () => ({ ok: true, text: 'confChanged' }) });
  await app.device.refresh();
  assert.equal(app.state.deviceState, 'ready');
  const other = await app.modes.add(); // a copy of mode 0: 400 DPI at 1000 Hz
  const changed = app.modes.change((s) => { s.performance.stages[0].dpi = 1200; }, [3]);
  await app.modes.switchTo(other);
  await changed;
  assert.deepEqual(heldDpiAndRate(win.mouse), [400, 4], 'the shown mode\'s DPI, not the one left behind');
  assert.deepEqual(app.state.live.performance.stages[0].dpi, 400);
});

test('modes picked one after the other faster than the mouse is written end with the last one on the mouse', async () => {
  const { app, win, other } = await appWithSecondMode(1200, 2);
  assert.deepEqual(heldDpiAndRate(win.mouse), [1200, 2]);
  const away = app.modes.switchTo('0');
  await app.modes.switchTo(other);
  await away;
  assert.equal(app.mode.index, other);
  assert.deepEqual(heldDpiAndRate(win.mouse), [1200, 2], 'the mode shown is the one the mouse holds');
  const back = app.modes.switchTo('0');
  const again = app.modes.switchTo(other);
  await app.modes.switchTo('0');
  await Promise.all([back, again]);
  assert.deepEqual(heldDpiAndRate(win.mouse), [400, 4]);
});

test('a value changed while the mode just picked is being written is the one the mouse keeps', async () => {
  const { app, win, other } = await appWithSecondMode(1200, 2);
  await app.modes.switchTo('0');
  const picked = app.modes.switchTo(other); // writes the DPI stages, then the polling rate
  const changed = app.modes.change((s) => { s.performance.pollingRate = 3; }, [5]);
  await Promise.all([picked, changed]);
  assert.equal(app.shown.performance.pollingRate, 3);
  assert.deepEqual(heldDpiAndRate(win.mouse), [1200, 3], 'the later value, not the mode\'s older one');
});

// Waits until the page has sent a request that pred takes, no longer: the
// stand-in answers in microtasks, so a timer would let every answer in.
async function untilSent(win, pred) {
  const from = win.requests.length;
  while (!win.requests.slice(from).some((r) => pred(JSON.parse(r)))) await Promise.resolve();
}

test('a value changed while the mouse is read again stays on the page, in the mode and on the mouse', async () => {
  const { app, win, other } = await appWithSecondMode(3200, 2);
  await app.modes.switchTo('0');
  for (const [why, dpi] of [['device.resynced', 1200], ['device.profileChanged', 1600]]) {
    // The mouse asks to be read again (a resync, another onboard profile
    // chosen on it); the user changes the DPI once the read has passed it.
    const read = app.device.reread({ message: why });
    await untilSent(win, (r) => r.funcname === 'readDevicesProp' && r.PARAMID === 4);
    const changed = app.modes.change((s) => { s.performance.stages[0].dpi = dpi; }, [3]);
    await Promise.all([read, changed]);
    assert.equal(heldDpiAndRate(win.mouse)[0], dpi, why);
    assert.equal(app.shown.performance.stages[0].dpi, dpi, `${why}: the page shows what the mouse holds`);
    assert.equal(app.state.live.performance.stages[0].dpi, dpi, why);
  }
  // A read asked for while a picked mode is still being written comes after
  // those writes: it finds the picked mode's values, not the ones left.
  const send = win.cefQuery; // a slow mouse: each write takes 5 ms
  win.cefQuery = (q) => (JSON.parse(q.request).funcname === 'writeDevicesProp' ? setTimeout(() => send(q), 5) : send(q));
  const picked = app.modes.switchTo(other);
  await Promise.all([picked, app.device.reread({ message: 'device.resynced' })]);
  assert.equal(app.mode.index, other);
  assert.deepEqual(heldDpiAndRate(win.mouse), [3200, 2]);
  assert.deepEqual([app.shown.performance.stages[0].dpi, app.shown.performance.pollingRate], [3200, 2]);
});

test('Settings shows the program version recorded after the page had read the settings', async () => {
  // The first start after an update records the new version once the page is up.
  let conf = { version: '1.0.0', language: 'en' };
  const { app } = appWith({ getConf: () => ({ ok: true, text: JSON.stringify([conf]) }) });
  await app.settings.load();
  assert.equal(app.state.conf.version, '1.0.0');
  conf = { ...conf, version: '2.0.0' };
  app.showScreen('settings');
  await tick();
  await tick();
  assert.equal(app.state.conf.version, '2.0.0');
  assert.equal(app.state.conf.language, 'en', 'the rest of the settings stays as read');
});
