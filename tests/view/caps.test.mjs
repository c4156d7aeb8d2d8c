// The device description (property 64) as the page reads it, and the
// settings of any described device: what each screen may offer, the bytes it
// writes, and what it does with values a device does not take.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as caps from '../../view/js/caps.js';
import * as ds from '../../view/js/devicesettings.js';
import * as dm from '../../view/js/devicemap.js';
import { utf8Encode } from '../../view/js/bytes.js';
import { RATBAG_DESCRIPTION } from './fake_native.mjs';

const RB = caps.readCaps(RATBAG_DESCRIPTION);
const bytesOf = (obj) => [...utf8Encode(JSON.stringify(obj)), 0, 0, 0];

test('a description is read with its lists and ranges, and what it does not say is absent', () => {
  assert.equal(RB.tag, 3);
  assert.deepEqual([RB.stages.min, RB.stages.max, RB.stages.default, RB.stages.colours], [5, 5, true, false]);
  assert.deepEqual(RB.reportRates, [{ value: 2, hz: 250 }, { value: 4, hz: 1000 }, { value: 6, hz: 4000 }, { value: 7, hz: 8000 }]);
  assert.deepEqual(RB.lighting.leds[0].effects, [0, 1, 2, 3]);
  assert.equal(RB.lighting.leds[1].colour, 'rgb111');
  assert.equal(caps.has(RB, 4), false);
  assert.equal(caps.fitsClassicLayout(RB), false);
  assert.equal(caps.fitsClassicLayout(caps.CLASSIC_CAPS), true);
  assert.equal(caps.buttonsHavePicture(RB), false);
  assert.equal(caps.buttonsHavePicture(caps.CLASSIC_CAPS), true);
});

test('property 64: empty is the classic mouse, text ends at the first NUL, anything else is refused', () => {
  assert.equal(caps.capsFromBytes(new Array(2048).fill(0)), caps.CLASSIC_CAPS);
  assert.equal(caps.capsFromBytes(bytesOf(RATBAG_DESCRIPTION)).buttons.count, 11);
  assert.throws(() => caps.capsFromBytes([...utf8Encode('{"format":1'), 0]), SyntaxError);
  assert.throws(() => caps.capsFromBytes(bytesOf({ format: 2 })), RangeError);
  assert.throws(() => caps.capsFromBytes(bytesOf([1, 2])), TypeError);
  assert.throws(() => caps.capsFromBytes([0xff, 0xfe, 0]), TypeError, 'not UTF-8');
});

test('a description that sends nonsense is cut to what a device can have', () => {
  const c = caps.readCaps({
    format: 1, properties: [1, 2, 3, 4, 8, 300, 'x'], name: 'n'.repeat(5000), tag: 999,
    stages: { min: 0, max: 99, dpi: [[5, 1, 1], [100, 200, 50], 'x', [1, 70000, 1]], colours: true },
    buttons: { count: 500, roles: ['left', 'thumb', 7], allowed: [127, -1] },
    lighting: { record: 7, leds: Array(20).fill({ effects: [9, 1, 1], colour: 'ultraviolet', duration: [10, 5] }) },
    profiles: { count: 0 }, macros: { slots: 20, repeat: [0, 7], events: 100000 }, reportRates: [[4, 1000], [0, 5], [9]],
  });
  assert.deepEqual([...c.properties], [1, 2, 3, 4, 8]);
  assert.equal(c.name.length, 200);
  assert.equal(c.tag, 0);
  assert.deepEqual([c.stages.min, c.stages.max], [1, 1]);
  assert.deepEqual(c.stages.dpi, [[100, 200, 50]]);
  assert.equal(c.stages.colours, true);
  assert.deepEqual([c.buttons.count, c.buttons.roles.length, c.buttons.roles[0], c.buttons.roles[1], c.buttons.allowed[1]], [0, 0, undefined, undefined, undefined]);
  assert.equal(c.lighting.leds.length, 8);
  assert.deepEqual(c.lighting.leds[0], { effects: [1], colour: 'rgb', duration: null });
  assert.equal(c.lighting.record, 6);
  assert.deepEqual([c.profiles.count, c.macros.slots, c.macros.repeat, c.macros.events], [1, 0, [0], 0]);
  assert.deepEqual(c.reportRates, [{ value: 4, hz: 1000 }]);
  const roles = caps.readCaps({ format: 1, buttons: { count: 3, roles: ['left', 'thumb'], allowed: [2] } }).buttons;
  assert.deepEqual(roles, { count: 3, roles: ['left', '', ''], allowed: [2, 0, 0], mouse: null });
});

test('DPI values snap to the nearest one the device offers', () => {
  assert.deepEqual(caps.dpiRange(RB), { min: 100, max: 12000, step: 0 });
  assert.deepEqual(caps.dpiRange(caps.CLASSIC_CAPS), { min: 100, max: 26000, step: 50 });
  assert.equal(caps.snapDpi(RB, 3333), 3400);
  assert.equal(caps.snapDpi(RB, 1050), 1100, 'as near to 1000 as to 1100: the higher, as rounding does');
  assert.equal(caps.snapDpi(RB, 5200), 5000);
  assert.equal(caps.snapDpi(RB, 99999), 12000);
  assert.equal(caps.snapDpi(RB, 'x'), 100);
  for (const v of [1234, 30000, 10, 26000, 125]) assert.equal(caps.snapDpi(caps.CLASSIC_CAPS, v), dm.clampDpi(v), String(v));
  assert.equal(caps.dpiAllowed(RB, 3400), true);
  assert.equal(caps.dpiAllowed(RB, 1050), false);
  const irregular = caps.readCaps({ format: 1, stages: { dpi: [[400, 3200, 0]] } });
  assert.equal(caps.snapDpi(irregular, 1234.6), 1235);
  assert.equal(caps.dpiChoices(irregular), null);
  assert.deepEqual(caps.dpiChoices(caps.readCaps({ format: 1, stages: { dpi: [[800, 1600, 400], [3200, 3200, 1]] } })), [800, 1200, 1600, 3200]);
  assert.equal(caps.snapDpi(caps.readCaps({ format: 1 }), 800), null, 'a device that takes no DPI');
});

test('each button offers only the types and functions it allows', () => {
  assert.deepEqual(caps.typesFor(caps.CLASSIC_CAPS, 0), [1, 2, 3, 4, 5, 6, 0]);
  assert.deepEqual(caps.typesFor(RB, 4), [1, 7, 2, 3, 4, 5, 6, 8]);
  // Button 0 takes the daemon's buttons only (mouse functions 1-5), button 1
  // macros only, button 2 its special functions only (mouse functions 6-10).
  const buttonOnly = caps.readCaps({ ...RATBAG_DESCRIPTION, buttons: { count: 3, roles: ['', '', ''],
    allowed: [(1 << 1) | (1 << 7), 1 << 5, (1 << 1) | (1 << 3) | (1 << 4) | (1 << 8)], mouse: [0x3e, 0, 0x7c0] } });
  assert.deepEqual(caps.typesFor(buttonOnly, 0), [1, 7]);
  assert.deepEqual(caps.typesFor(buttonOnly, 1), [5]);
  assert.deepEqual(caps.functionsFor(buttonOnly, 1, 0), [1, 2, 3, 4, 5]);
  assert.deepEqual(caps.functionsFor(buttonOnly, 1, 2), [6, 7, 8, 9, 10]);
  assert.deepEqual(caps.functionsFor(buttonOnly, 1), RATBAG_DESCRIPTION.functions[1], 'the device\'s list');
  assert.deepEqual(caps.functionsFor(RB, 1, 0), RATBAG_DESCRIPTION.functions[1], 'a description without the member: every one');
  assert.equal(caps.assignmentAllowed(buttonOnly, 2, { type: 1, p1: 1, p2: 0, p3: 0 }), false);
  assert.equal(caps.assignmentAllowed(buttonOnly, 2, { type: 1, p1: 6, p2: 0, p3: 0 }), true);
  assert.deepEqual(ds.defaultAssignment(buttonOnly, 2), { type: 1, p1: 6, p2: 0, p3: 0 });
  assert.equal(caps.assignmentAllowed(RB, 0, { type: 7, p1: 30, p2: 0, p3: 0 }), true);
  assert.equal(caps.assignmentAllowed(RB, 0, { type: 7, p1: 31, p2: 0, p3: 0 }), false);
  assert.equal(caps.assignmentAllowed(RB, 0, { type: 5, p1: 2, p2: 1, p3: 0 }), false, 'the device plays macros once');
  assert.equal(caps.assignmentAllowed(RB, 0, { type: 0, p1: 0, p2: 0, p3: 0 }), false, 'no disabling');
  assert.equal(caps.assignmentAllowed(buttonOnly, 1, { type: 1, p1: 1, p2: 0, p3: 0 }), false);
  // The classic rules are the device map's.
  for (const b of [{ type: 2, p1: 16, p2: 30, p3: 0 }, { type: 2, p1: 1, p2: 128, p3: 0 }, { type: 5, p1: 1, p2: 3, p3: 0 }, { type: 1, p1: 9, p2: 0, p3: 0 }, { type: 0, p1: 1, p2: 0, p3: 0 }, { type: 5, p1: 7, p2: 3, p3: 9 }]) {
    assert.equal(ds.assignmentValid(caps.CLASSIC_CAPS, 0, b), !dm.validateAssignment(b), JSON.stringify(b));
  }
  assert.equal(ds.assignmentValid(RB, 3, { type: 255, p1: 0, p2: 0, p3: 0 }), true, 'what the page cannot show is kept');
});

test('what a button does out of the box', () => {
  assert.deepEqual(ds.defaultAssignment(caps.CLASSIC_CAPS, 5), { type: 3, p1: 3, p2: 0, p3: 0 });
  assert.deepEqual(ds.defaultAssignment(RB, 2), { type: 1, p1: 3, p2: 0, p3: 0 });
  assert.deepEqual(ds.defaultAssignment(RB, 7), { type: 7, p1: 8, p2: 0, p3: 0 });
  assert.deepEqual(ds.defaultAssignment(RB, 10), { type: 1, p1: 1, p2: 0, p3: 0 }, 'button 11 is not offered: the first function');
  assert.deepEqual(ds.defaultAssignment(null, 12), { type: 7, p1: 13, p2: 0, p3: 0 });
});

// The classic mouse's factory properties, as the simulator holds them.
function classicProps() {
  const dpi = [];
  dm.FACTORY_STAGE_DPI.forEach((v) => dpi.push(v & 0xff, v >> 8));
  return {
    1: [5], 2: [1], 3: dpi, 4: dm.encodeStageColours(dm.factoryPerformance().stages), 5: [4], 6: [2],
    7: dm.FACTORY_BUTTONS.flat(), 8: [2, 0x39, 0xa7, 0xda, 80, 5], 9: [0], 10: [4], 11: [1],
  };
}

test('the classic mouse\'s settings read and write as the device map always did', () => {
  const props = classicProps();
  const s = ds.decodeSettings(caps.CLASSIC_CAPS, props);
  assert.deepEqual(s, { performance: dm.factoryPerformance(), buttons: dm.factoryButtons(), lighting: dm.factoryLighting() });
  for (const id of ds.modeProps(caps.CLASSIC_CAPS)) {
    assert.deepEqual(ds.encodeProp(caps.CLASSIC_CAPS, s, id), props[id], `property ${id}`);
    assert.equal(ds.propSize(caps.CLASSIC_CAPS, id), props[id].length);
  }
  assert.equal(ds.fitSettings(caps.CLASSIC_CAPS, structuredClone(s), s), false, 'the factory mode fits');
});

function ratbagProps() {
  const le = (v) => [v & 0xff, v >> 8];
  return {
    1: [5], 2: [0], 3: [400, 800, 1600, 3200, 6400].flatMap(le), 5: [4], 12: [1], 14: [1], 15: [7, 0],
    7: [1, 1, 0, 0, 1, 2, 0, 0, 1, 3, 0, 0, 3, 3, 0, 0, 3, 4, 0, 0, 2, 1, 46, 0, 1, 4, 0, 0, 1, 5, 0, 0, 4, 1, 0, 0, 255, 0, 0, 0, 7, 8, 0, 0],
    8: [1, 255, 0, 0, 20, 10, 0xe8, 0x03, 2, 255, 255, 255, 100, 8, 0xb8, 0x0b],
  };
}

test('a described device\'s settings: its own stage count, buttons and LED records', () => {
  const props = ratbagProps();
  const s = ds.decodeSettings(RB, props);
  assert.deepEqual(s.performance, { stageCount: 5, activeStage: 0, stages: [400, 800, 1600, 3200, 6400].map((dpi) => ({ dpi })), pollingRate: 4, defaultStage: 1 });
  assert.equal(s.buttons.length, 11);
  assert.deepEqual(s.buttons[9], { type: 255, p1: 0, p2: 0, p3: 0 });
  assert.deepEqual(s.lighting, [
    { effect: 1, color: '#ff0000', brightness: 20, speed: 10, duration: 1000 },
    { effect: 2, color: '#ffffff', brightness: 100, speed: 8, duration: 3000 }]);
  for (const id of [3, 5, 7, 8, 12]) assert.deepEqual(ds.encodeProp(RB, s, id), props[id], `property ${id}`);
  assert.deepEqual(ds.decodeOnboard(RB, props), { active: 1, enabled: [true, true, true], names: ['', '', ''] });
  assert.equal(ds.decodeOnboard(caps.CLASSIC_CAPS, props), null);
  assert.deepEqual([3, 7, 8, 13].map((id) => ds.propSize(RB, id)), [10, 44, 16, 2]);
});

test('a mode is written as what differs, in an order the device takes', () => {
  const live = ds.decodeSettings(caps.CLASSIC_CAPS, classicProps());
  const want = structuredClone(live);
  assert.deepEqual(ds.applyOrder(caps.CLASSIC_CAPS, want, live), []);
  want.performance.stageCount = 2;
  want.performance.activeStage = 0;
  want.lighting.effect = 0;
  assert.deepEqual(ds.applyOrder(caps.CLASSIC_CAPS, want, live).map(([id]) => id), [2, 1, 8], 'the active stage before a smaller count');
  want.performance.stageCount = 7;
  want.performance.activeStage = 6;
  assert.deepEqual(ds.applyOrder(caps.CLASSIC_CAPS, want, live).map(([id]) => id), [1, 2, 8], 'after a larger one');
  assert.deepEqual(ds.applyOrder(caps.CLASSIC_CAPS, want, null).slice(2, 5), [[2, [0]], [1, [7]], [2, [6]]], 'unknown: stage 0 first');
  const rlive = ds.decodeSettings(RB, ratbagProps());
  const rwant = structuredClone(rlive);
  rwant.performance.activeStage = 3;
  rwant.performance.pollingRate = 7;
  rwant.lighting[1].duration = 5000;
  rwant.performance.liftOff = 3; // not a property of this device: never written
  assert.deepEqual(ds.applyOrder(RB, rwant, rlive), [[2, [3]], [5, [7]], [8, ds.encodeProp(RB, rwant, 8)]]);
  assert.equal(ds.applyOrder(RB, rwant, null).some(([id]) => id === 1), false, 'a fixed stage count is never written');
});

test('a mode holds only values the device takes: anything else becomes what the device holds', () => {
  const live = ds.decodeSettings(RB, ratbagProps());
  const s = structuredClone(live);
  assert.equal(ds.fitSettings(RB, s, live), false);
  Object.assign(s.performance, { stageCount: 8, activeStage: 6, pollingRate: 3, liftOff: 2, defaultStage: 9 });
  s.performance.stages[1].dpi = 1050;
  s.performance.stages.push({ dpi: 400 });
  s.buttons[0] = { type: 0, p1: 0, p2: 0, p3: 0 };
  s.buttons[1] = { type: 5, p1: 0, p2: 2, p3: 0 };
  s.buttons.length = 9;
  s.lighting[1].effect = 3;
  s.lighting[0].duration = 20000;
  assert.equal(ds.fitSettings(RB, s, live), true);
  assert.deepEqual(s.performance, live.performance);
  assert.deepEqual(s.buttons, live.buttons);
  assert.deepEqual(s.lighting, live.lighting);
  // A section written for another device shape takes this device's shape.
  const other = { performance: { stages: [{ dpi: 800 }] }, buttons: [{ type: 7, p1: 9, p2: 0, p3: 0 }], lighting: [] };
  ds.fitSettings(RB, other, live);
  assert.deepEqual(other.buttons[0], { type: 7, p1: 9, p2: 0, p3: 0 });
  assert.equal(other.buttons.length, 11);
  assert.equal(other.performance.stages.length, 5);
  assert.deepEqual(other.lighting, live.lighting);
});

test('the services the library lists, each with what the user can do', () => {
  const bytes = (obj) => [...utf8Encode(JSON.stringify(obj)), 0, 0];
  const ratbagd = { id: 'RATBAG\\', service: 'ratbagd', bus: 'org.freedesktop.ratbag1', state: 'absent', api: 1, mice: 0 };
  assert.deepEqual(caps.readServices(bytes({ services: [ratbagd, { id: 'RAZER\\', service: 'openrazer', state: 'running', mice: 2 }] })), [
    { id: 'RATBAG\\', service: 'ratbagd', state: 'absent', api: 1, mice: 0, notShown: [], startGivenUp: false },
    { id: 'RAZER\\', service: 'openrazer', state: 'running', api: null, mice: 2, notShown: [], startGivenUp: false },
  ]);
  // What a service does not show, and why; anything else there is left out.
  const hidden = caps.readServices(bytes({ services: [{ ...ratbagd, state: 'stopped', startGivenUp: true, notShown: [
    { name: 'G915', why: 'keyboard' }, { name: 'LED', why: 'unreadable', retrying: true }, { name: 'X', why: 'cat' }, 7] }] }))[0];
  assert.deepEqual(hidden.notShown, [{ name: 'G915', why: 'keyboard', retrying: false }, { name: 'LED', why: 'unreadable', retrying: true }]);
  assert.equal(hidden.startGivenUp, true);
  assert.equal(caps.RESULT_MESSAGES[11], 'error.write.store');
  assert.deepEqual(caps.readServices(new Array(2048).fill(0)), [], 'a device library without services');
  assert.deepEqual(caps.readServices([0x7b, 0]), []);
  assert.deepEqual(caps.readServices(bytes(ratbagd)), [], 'one state is no list of them');
  assert.deepEqual(caps.readServices(bytes({ services: [{ state: 7 }, null, ratbagd] })).map((s) => s.service), ['ratbagd']);
  assert.equal(caps.readServices(bytes({ services: new Array(50).fill(ratbagd) })).length, 8);
  assert.deepEqual(caps.SERVICE_PROBLEMS, ['absent', 'stopped', 'denied', 'unsupported', 'nobus', 'plugdev', 'nodriver']);
  assert.equal(caps.RESULT_MESSAGES[8], 'error.write.refused');
});

test('stages the device can leave out: read, written only there, never the active one', () => {
  const D = caps.readCaps({ ...RATBAG_DESCRIPTION, stages: { ...RATBAG_DESCRIPTION.stages, disable: true } });
  assert.equal(D.stages.disable, true);
  assert.equal(caps.readCaps({ ...RATBAG_DESCRIPTION, properties: [1, 2, 3], stages: { ...RATBAG_DESCRIPTION.stages, disable: true } }).stages.disable, false,
    'not without property 13');
  const props = { ...ratbagProps(), 13: [0x12, 0] };
  const live = ds.decodeSettings(D, props);
  assert.equal(live.performance.disabledStages, 0x12);
  assert.equal(ds.decodeSettings(RB, props).performance.disabledStages, undefined, 'a device that cannot: no such setting');
  const want = structuredClone(live);
  want.performance.disabledStages = 0x06;
  assert.deepEqual(ds.applyOrder(D, want, live), [[13, [0x06, 0]]]);
  assert.deepEqual(ds.applyOrder(RB, ds.decodeSettings(RB, props), null).filter(([id]) => id === 13), [], 'never written where it cannot be');
  want.performance.disabledStages = 0x01; // the active stage
  assert.equal(ds.fitSettings(D, want, live), true);
  assert.equal(want.performance.disabledStages, 0x12);
  want.performance.disabledStages = 0x20; // past the count
  ds.fitSettings(D, want, live);
  assert.equal(want.performance.disabledStages, 0x12);
});

test('onboard profile names: read where the device has them, written as whole records cut at a character', () => {
  const D = caps.readCaps({ ...RATBAG_DESCRIPTION, properties: [...RATBAG_DESCRIPTION.properties, 16],
    profiles: { ...RATBAG_DESCRIPTION.profiles, names: true, rename: [0, 2, 99] } });
  assert.deepEqual(D.profiles.rename, [0, 2]);
  assert.equal(D.profiles.names, true);
  assert.equal(caps.readCaps({ ...RATBAG_DESCRIPTION, profiles: { ...RATBAG_DESCRIPTION.profiles, names: true, rename: [0] } }).profiles.names, false,
    'not without property 16');
  const names = ds.encodeNames(['Work', '', 'B\u00fcro']);
  assert.equal(names.length, 3 * 64);
  assert.equal(ds.propSize(D, 16), D.profiles.count * 64);
  const props = { ...ratbagProps(), 16: names };
  assert.deepEqual(ds.decodeOnboard(D, props).names, ['Work', '', 'B\u00fcro']);
  // 40 three-byte characters: only the 21 that fit in 63 bytes are kept.
  const long = ds.encodeNames(['\u4e2d'.repeat(40)]);
  assert.equal(long.indexOf(0), 63);
  assert.deepEqual(ds.decodeOnboard(D, { ...props, 16: long }).names[0], '\u4e2d'.repeat(21));
  assert.deepEqual(ds.decodeOnboard(D, { ...props, 16: [0xff, 0xfe, ...new Array(62).fill(0)] }).names[0], '', 'no UTF-8: no name');
});
