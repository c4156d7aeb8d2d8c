import { test } from 'node:test';
import assert from 'node:assert/strict';
import { App } from '../../view/js/app.js';
import * as rq from '../../view/js/requests.js';
import { PROFILE_PATH, profileFromXml } from '../../view/js/profile.js';
import { makeNative } from './fake_native.mjs';
import { dropStoppingKey } from '../../view/js/controllers/macros.js';

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

test('the key that stops a recording from the keyboard is not part of the macro', () => {
  const enter = { scan: 0x1c, ext: 0 };
  const key = (kind, scan) => ({ kind, scan, ext: 0 });
  const delay = (ms) => ({ kind: 'delay', ms });
  const typed = [key('down', 0x2d), delay(80), key('up', 0x2d), delay(200)];
  let steps = [...typed, key('down', 0x1c), delay(90), key('up', 0x1c)];
  dropStoppingKey(steps, enter);
  assert.deepEqual(steps, typed.slice(0, 3));
  steps = [...typed, key('down', 0x1c)];
  dropStoppingKey(steps, enter);
  assert.deepEqual(steps, typed.slice(0, 3));
  // An Enter typed into the macro earlier stays when the stop came another way.
  steps = [key('down', 0x1c), key('up', 0x1c), key('down', 0x2d), key('up', 0x2d)];
  dropStoppingKey(steps, enter);
  assert.equal(steps.length, 4);
});
