import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as dm from '../../view/js/devicemap.js';

test('stage DPI values are eight little-endian u16 values', () => {
  const p = dm.factoryPerformance();
  const bytes = dm.encodeStageDpi(p.stages);
  assert.equal(bytes.length, 16);
  assert.deepEqual(bytes.slice(0, 4), [0x90, 0x01, 0x20, 0x03]); // 400, 800
  assert.deepEqual(dm.decodeStageDpi(bytes), [400, 800, 1600, 3200, 6400, 12000, 16000, 26000]);
});

test('DPI values are kept in the mouse range and steps', () => {
  assert.equal(dm.clampDpi(30000), 26000);
  assert.equal(dm.clampDpi(10), 100);
  assert.equal(dm.clampDpi(1234), 1250);
  assert.equal(dm.clampDpi('abc'), 100);
});

test('stage colours are eight RGB triples', () => {
  const bytes = dm.encodeStageColours(dm.factoryPerformance().stages);
  assert.equal(bytes.length, 24);
  assert.deepEqual(bytes.slice(0, 6), [255, 0, 0, 0, 255, 0]);
  assert.deepEqual(dm.decodeStageColours(bytes), dm.FACTORY_STAGE_COLOURS);
});

test('button assignments are 8 x 4 bytes and invalid ones are refused', () => {
  const b = dm.factoryButtons();
  const bytes = dm.encodeButtons(b);
  assert.deepEqual(bytes, [1, 1, 0, 0, 1, 2, 0, 0, 1, 3, 0, 0, 1, 4, 0, 0, 1, 5, 0, 0, 3, 3, 0, 0, 3, 4, 0, 0, 4, 1, 0, 0]);
  assert.deepEqual(dm.decodeButtons(bytes), b);
  assert.equal(dm.validateAssignment({ type: 2, p1: 3, p2: 0x1e, p3: 0 }), '');
  assert.notEqual(dm.validateAssignment({ type: 2, p1: 0, p2: 0, p3: 0 }), '');
  assert.notEqual(dm.validateAssignment({ type: 2, p1: 0, p2: 200, p3: 0 }), '');
  assert.notEqual(dm.validateAssignment({ type: 5, p1: 8, p2: 0, p3: 0 }), '');
  assert.notEqual(dm.validateAssignment({ type: 5, p1: 0, p2: 3, p3: 0 }), '');
  assert.equal(dm.validateAssignment({ type: 5, p1: 7, p2: 3, p3: 255 }), '');
  assert.notEqual(dm.validateAssignment({ type: 7, p1: 0, p2: 0, p3: 0 }), '');
  assert.notEqual(dm.validateAssignment({ type: 0, p1: 1, p2: 0, p3: 0 }), '');
  b[3] = { type: 9, p1: 0, p2: 0, p3: 0 };
  assert.throws(() => dm.encodeButtons(b), /button 3/);
});

test('lighting is effect, RGB, brightness, speed', () => {
  assert.deepEqual(dm.encodeLighting(dm.factoryLighting()), [2, 0x39, 0xa7, 0xda, 80, 5]);
  assert.deepEqual(dm.decodeLighting([1, 255, 0, 16, 50, 3]), { effect: 1, color: '#ff0010', brightness: 50, speed: 3 });
  assert.ok(dm.effectUsesColour(5) && !dm.effectUsesColour(3));
  assert.ok(dm.effectUsesSpeed(3) && !dm.effectUsesSpeed(1) && !dm.effectUsesSpeed(6));
});

test('macro slots sit at 0x1000 + n x 0x800', () => {
  assert.equal(dm.macroSlotAddress(0), 0x1000);
  assert.equal(dm.macroSlotAddress(7), 0x4800);
  assert.throws(() => dm.macroSlotAddress(8), RangeError);
});

test('data reports, with the tag of the device that sent them in byte 7', () => {
  assert.deepEqual(dm.parseDataReport('0102800c00000000'), { kind: 'stage', stage: 2, dpi: 3200, tag: 0 });
  assert.deepEqual(dm.parseDataReport('0202000000000000'), { kind: 'mode', direction: -1, tag: 0 });
  assert.deepEqual(dm.parseDataReport('0201000000000000'), { kind: 'mode', direction: 1, tag: 0 });
  assert.deepEqual(dm.parseDataReport('0305000000000000'), { kind: 'button', button: 5, tag: 0 });
  assert.deepEqual(dm.parseDataReport('0501000000000003'), { kind: 'resync', tag: 3 });
  assert.deepEqual(dm.parseDataReport('06020000000000ff'), { kind: 'profile', profile: 2, tag: 255 });
  assert.equal(dm.parseDataReport('09'), null);
  assert.equal(dm.parseDataReport('ff00000000000000'), null);
});

test('the mice are told apart from a boot loader, in the order listed', () => {
  const mouse = { DeviceID: 'KELV-M1', MASK: '01', HardwareID: 'HID\\Vid_0aa0&Pid_5e30' };
  const real = { DeviceID: 'RATBAG-usb-046d-c539', MASK: '01', HardwareID: 'RATBAG\\usb&Vid_046d&Pid_c539&Rev_0' };
  const boot = { DeviceID: 'KELV-M1-BOOT', MASK: '00', HardwareID: 'HID\\Vid_0aa0&Pid_5e31' };
  assert.deepEqual(dm.pickMice([boot, mouse, real]), { mice: [mouse, real], bootLoader: boot });
  assert.deepEqual(dm.pickMice([{ MASK: '01' }, null, 7]), { mice: [], bootLoader: null });
  assert.deepEqual(dm.pickMice('nonsense'), { mice: [], bootLoader: null });
});
