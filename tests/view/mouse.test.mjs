import { test } from 'node:test';
import assert from 'node:assert/strict';
import { Bridge } from '../../view/js/bridge.js';
import { Mouse, DeviceError } from '../../view/js/mouse.js';
import { encodeMacro, decodeMacro } from '../../view/js/macro.js';
import { factoryPerformance, factoryButtons, factoryLighting } from '../../view/js/devicemap.js';
import { makeNative, DEVICE } from './fake_native.mjs';
import { addStage, removeStage } from '../../view/js/ui/performance.js';

function setup() {
  const win = makeNative();
  return { win, mouse: new Mouse(new Bridge(win), DEVICE) };
}

const factoryMode = () => ({ performance: factoryPerformance(), buttons: factoryButtons(), lighting: factoryLighting() });

test('reads every setting of the mouse', async () => {
  const { mouse } = setup();
  const s = await mouse.readSettings();
  assert.deepEqual(s, factoryMode());
});

test('a vanished mouse (all zeros) is an error, not settings', async () => {
  const { win, mouse } = setup();
  win.present = false;
  await assert.rejects(mouse.readSettings(), (e) => e instanceof DeviceError && e.key === 'error.read');
});

test('a mouse that goes while it is read is an error, not settings of zeros', async () => {
  const { win, mouse } = setup();
  // Pulled out right after the first property was read: everything after it is zeros.
  const query = win.cefQuery;
  win.cefQuery = (q) => {
    const r = JSON.parse(q.request);
    const id = query(q);
    if (r.funcname === 'readDevicesProp') win.present = false;
    return id;
  };
  await assert.rejects(mouse.readSettings(), (e) => e instanceof DeviceError && e.key === 'error.read');
});

test('a refused write is reported with the native answer and named by the last result', async () => {
  const { win, mouse } = setup();
  await assert.rejects(mouse.writeProp(5, [9]), (e) => e.key === 'error.write.range' && e.detail === 'writeDevicesProp failed!' && e.code === 2);
  win.mouse.failWrites = true;
  await assert.rejects(mouse.writeProp(5, [1]), (e) => e.key === 'error.write.noAnswer' && e.code === 4);
  win.mouse.failResult = 9;
  await assert.rejects(mouse.writeProp(5, [1]), (e) => e.key === 'error.write.commit');
  win.mouse.failWrites = false;
  await mouse.writeProp(5, [1]);
  assert.deepEqual(win.mouse.props[5], [1]);
});

test('applying a mode writes only what differs, in an order the mouse accepts', async () => {
  const { win, mouse } = setup();
  const mode = factoryMode();
  const live = await mouse.readSettings();
  assert.equal(await mouse.applyMode(mode, live), 0);
  // Fewer stages with the active stage past the new count: active first.
  win.mouse.props[2] = [4];
  const live2 = await mouse.readSettings();
  const small = factoryMode();
  small.performance.stageCount = 2;
  small.performance.activeStage = 1;
  small.lighting.effect = 0;
  win.mouse.log = [];
  await mouse.applyMode(small, live2);
  assert.deepEqual(win.mouse.log.map((l) => l[1]), [2, 1, 8]);
  assert.deepEqual([win.mouse.props[1][0], win.mouse.props[2][0], win.mouse.props[8][0]], [2, 1, 0]);
  // More stages and a later active stage: count first.
  const big = factoryMode();
  big.performance.stageCount = 8;
  big.performance.activeStage = 7;
  win.mouse.log = [];
  await mouse.applyMode(big, await mouse.readSettings());
  assert.deepEqual(win.mouse.log.slice(0, 2).map((l) => l[1]), [1, 2]);
  assert.equal(win.mouse.props[2][0], 7);
  // Unknown state: every property, starting with a safe active stage.
  win.mouse.log = [];
  await mouse.applyMode(small, null);
  assert.deepEqual(win.mouse.props[1], [2]);
  assert.deepEqual(win.mouse.log.map((l) => l[1]), [3, 4, 2, 1, 2, 5, 6, 9, 10, 11, 7, 8]);
});

test('storing a macro clears the slot first, writes, and checks the bytes', async () => {
  const { win, mouse } = setup();
  const long = encodeMacro({ name: 'long', steps: Array.from({ length: 40 }, (_, i) => ({ kind: i % 2 ? 'up' : 'down', scan: 30, ext: 0 })) });
  await mouse.storeMacro(1, long);
  const short = encodeMacro({ name: 'short', steps: [{ kind: 'down', scan: 2, ext: 0 }, { kind: 'up', scan: 2, ext: 0 }] });
  win.mouse.log = [];
  await mouse.storeMacro(1, short);
  assert.deepEqual(win.mouse.log, [['clean', 0x1800, 2048], ['macro', 0x1800, short.length]]);
  const slot = Array.from(win.mouse.memory.slice(0x1800, 0x2000));
  assert.equal(decodeMacro(slot).name, 'short');
  assert.ok(slot.slice(short.length).every((b) => b === 0), 'nothing of the longer macro is left');
  assert.deepEqual((await mouse.readMacro(1)).steps.length, 2);
  assert.equal(await mouse.readMacro(0), null);
  assert.equal(await mouse.slotEmpty(0), true);
  await mouse.clearMacro(1);
  assert.equal(await mouse.slotEmpty(1), true);
});

test('a macro write the mouse refuses is reported', async () => {
  const { win, mouse } = setup();
  win.mouse.failWrites = true;
  await assert.rejects(mouse.storeMacro(0, encodeMacro({ name: '', steps: [{ kind: 'down', scan: 2, ext: 0 }] })), (e) => e.key === 'error.macroWrite');
});

test('stage editing keeps the active stage valid', () => {
  const p = factoryPerformance(); // 5 stages, active 1
  removeStage(p, 0);
  assert.equal(p.stageCount, 4);
  assert.equal(p.activeStage, 0);
  assert.equal(p.stages[0].dpi, 800);
  removeStage(p, 3);
  assert.equal(p.stageCount, 3);
  p.activeStage = 2;
  removeStage(p, 2);
  assert.equal(p.activeStage, 1);
  for (let i = 0; i < 10; i++) addStage(p);
  assert.equal(p.stageCount, 8);
  assert.ok(p.stages.every((s) => s.dpi >= 100 && s.dpi <= 26000 && s.dpi % 50 === 0));
  for (let i = 0; i < 10; i++) removeStage(p, 0);
  assert.equal(p.stageCount, 1);
  assert.equal(p.activeStage, 0);
});
