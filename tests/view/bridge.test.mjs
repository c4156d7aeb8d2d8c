import { test } from 'node:test';
import assert from 'node:assert/strict';
import { Bridge, BridgeError } from '../../view/js/bridge.js';
import * as rq from '../../view/js/requests.js';

function fakeTimers() {
  const pending = new Map();
  let id = 0;
  return {
    setTimeout(fn) { pending.set(++id, fn); return id; },
    clearTimeout(i) { pending.delete(i); },
    fire() { const fns = [...pending.values()]; pending.clear(); fns.forEach((f) => f()); },
    get count() { return pending.size; },
  };
}

test('requests resolve with the success text and reject with the failure text', async () => {
  const win = {
    cefQuery({ request, onSuccess, onFailure }) {
      const r = JSON.parse(request);
      queueMicrotask(() => (r.funcname === 'good' ? onSuccess('done') : onFailure(0, 'writeDevicesProp failed!')));
      return 1;
    },
  };
  const b = new Bridge(win, { timers: fakeTimers() });
  assert.equal(await b.call('good'), 'done');
  await assert.rejects(b.call('bad'), (e) => e instanceof BridgeError && e.message === 'writeDevicesProp failed!' && e.code === 0);
});

test('an unanswered request times out and is cancelled; dialogs wait for ever', async () => {
  const cancelled = [];
  const win = { cefQuery: () => 42, cefQueryCancel: (id) => cancelled.push(id) };
  const timers = fakeTimers();
  const b = new Bridge(win, { timers });
  const p = b.call('savexml');
  const dialog = b.call('openFileDialog', {}, { timeoutMs: 0 });
  assert.equal(timers.count, 1);
  timers.fire();
  await assert.rejects(p, (e) => e.timeout === true);
  assert.deepEqual(cancelled, [42]);
  let settled = false;
  dialog.then(() => { settled = true; }, () => { settled = true; });
  await new Promise((r) => setImmediate(r));
  assert.equal(settled, false);
  b.cancelAll();
});

test('without the native functions every request fails clearly', async () => {
  const b = new Bridge({});
  assert.equal(b.available, false);
  await assert.rejects(b.call('getConf'), /bridge is missing/);
});

test('one native registration per event, fanned out to every listener', () => {
  const regs = [];
  const win = { setMessageCallback: (name, fn) => { regs.push([name, fn]); } };
  const b = new Bridge(win);
  const seen = [];
  b.on('macroItem', (...a) => seen.push(['one', ...a]));
  const off = b.on('macroItem', (...a) => seen.push(['two', ...a]));
  b.on('devicesChanged', (v) => seen.push(['dev', v]));
  assert.deepEqual(regs.map((r) => r[0]), ['macroItem', 'devicesChanged']);
  regs[0][1](['0', '1', '30', '0']);
  off();
  regs[0][1](['2', '15', '0', '0']);
  regs[1][1]([1]);
  assert.deepEqual(seen, [['one', '0', '1', '30', '0'], ['two', '0', '1', '30', '0'], ['one', '2', '15', '0', '0'], ['dev', 1]]);
  assert.throws(() => b.on('noSuchEvent', () => {}));
});

test('request texts', () => {
  const dev = { HardwareID: 'HID\\Vid_0aa0&Pid_5e30', DevicePath: 'p' };
  assert.equal(rq.readProp(dev, 3, 16), '{"funcname":"readDevicesProp","HardwareID":"HID\\\\Vid_0aa0&Pid_5e30","DevicePath":"p","PARAMSIZE":16,"PARAMID":3}');
  assert.deepEqual(JSON.parse(rq.writeProp(dev, 2, [1])), { funcname: 'writeDevicesProp', HardwareID: dev.HardwareID, DevicePath: 'p', PARAMSIZE: 1, PARAMID: 2, PARAMDATA: '0x01' });
  assert.equal(JSON.parse(rq.writeMacroByAddr(dev, 0x1800, [0x4d, 1])).PARAMADDRESS, '1800');
  assert.equal(JSON.parse(rq.isPropEmpty(dev, 0x1000, 2048)).PARAMADDRESS, '1000');
  assert.deepEqual(JSON.parse(rq.notifyDevice(dev, 1, 3)), { funcname: 'notifyDevice', HardwareID: dev.HardwareID, NotifyType: 1, NotifyData: 3 });
  assert.throws(() => rq.readProp(null, 1, 1), /no device/);
  assert.throws(() => rq.hexAddress(0x10000), RangeError);
  assert.equal(rq.moveWindow(-3, 4.4, 1024, 680), 'moveWindow:-3,4,1024,680');
  assert.throws(() => rq.moveWindow(1, 2, 3), RangeError);
  assert.equal(rq.MINIMISE, '{"funcname":"minisizeWindow"}');
  assert.equal(rq.MAXIMISE, '{"funcname":"maxsizeWindow"}');
  assert.equal(rq.RESTORE, '{"funcname":"restoreWindow"}');
  assert.deepEqual(JSON.parse(rq.profile.importInto('/x.pfd', 'view/xml/configuration.xml', '/mode', "/m[@index='1']")),
    { funcname: 'modifyReplaceProfileEx', srcFilePath: '/x.pfd', desFilePath: 'view/xml/configuration.xml', srcXpath: '/mode', desXpath: "/m[@index='1']" });
});

test('hot-key state characters', () => {
  assert.equal(rq.hotKeyAccepted('\u0001'), true);
  assert.equal(rq.hotKeyAccepted('\u0000'), false);
  assert.equal(rq.hotKeyAccepted('modify conf sucess'), false);
  assert.deepEqual(rq.splitHotKey('Ctrl+Alt+M,\u0001'), { sequence: 'Ctrl+Alt+M', registered: true });
  assert.deepEqual(rq.splitHotKey('Ctrl+,,\u0000'), { sequence: 'Ctrl+,', registered: false });
  assert.deepEqual(rq.splitHotKey(undefined), { sequence: '', registered: false });
});

test('events are kept while the page holds them and handled in order on release', () => {
  const callbacks = new Map();
  const win = { cefQuery: () => 1, setMessageCallback: (name, fn) => callbacks.set(name, fn) };
  const b = new Bridge(win, { timers: fakeTimers() });
  const seen = [];
  b.on('onProcessChanged', (index, running) => seen.push(`process ${index} ${running}`));
  b.on('devicesChanged', (value) => seen.push(`devices ${value}`));
  b.hold();
  callbacks.get('onProcessChanged')(['2', true]);
  callbacks.get('devicesChanged')([1]);
  assert.deepEqual(seen, []);
  b.release();
  assert.deepEqual(seen, ['process 2 true', 'devices 1']);
  callbacks.get('onProcessChanged')(['2', false]);
  assert.deepEqual(seen.at(-1), 'process 2 false', 'after the release events go straight through');
});
