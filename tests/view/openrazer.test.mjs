// A mouse of OpenRazer's daemon as the page reads it (the description libdc's backend writes:
// lighting zones with their effects, a record of 9 bytes, battery, the daemon's effect sync,
// idle time and threshold, no buttons or macros), and the note that says how to get the daemon.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as caps from '../../view/js/caps.js';
import * as ds from '../../view/js/devicesettings.js';
import { RATBAG_DESCRIPTION } from './fake_native.mjs';
import { batteryText, batteryWarning, serviceHelp } from '../../view/js/ui/device.js';

export const RAZER_DESCRIPTION = {
  format: 1, source: 'openrazer', name: 'Razer Viper Ultimate (Wireless)', model: '1532:007b', tag: 128,
  properties: [1, 2, 3, 5, 8, 64, 65, 66, 67, 68, 69, 70],
  stages: { min: 1, max: 5, dpi: [[100, 20000, 50]], colours: false, default: false, disable: false, separateXY: false },
  reportRates: [[1, 125], [3, 500], [4, 1000]], liftOff: [], angleSnap: false, debounce: [], motionSync: false,
  buttons: { count: 0, roles: [], allowed: [] }, functions: {},
  lighting: { record: 9, leds: [
    { zone: 'logo', effects: [0, 1, 2, 3, 5, 7, 8], colour: 'rgb', duration: null, brightness: true, speed: [1, 4] },
    { zone: 'scroll', effects: [0, 1], colour: 'none', duration: null, brightness: false, speed: [] }] },
  profiles: { count: 1, disable: false }, macros: { slots: 0, repeat: [], events: 0 }, firmware: false,
  battery: true, sync: true, idle: { min: 60, max: 900, read: false }, lowBattery: { min: 5, max: 25, read: false },
};
const RZ = caps.readCaps(RAZER_DESCRIPTION);

test('a daemon mouse with zones, a battery and settings of its own', () => {
  assert.deepEqual(RZ.lighting.leds[0], { effects: [0, 1, 2, 3, 5, 7, 8], colour: 'rgb', duration: null, zone: 'logo', speed: [1, 4] });
  assert.deepEqual(RZ.lighting.leds[1], { effects: [0, 1], colour: 'none', duration: null, zone: 'scroll', noBrightness: true });
  assert.equal(RZ.lighting.record, 9);
  assert.deepEqual([RZ.battery, RZ.sync], [true, true]);
  assert.deepEqual(RZ.idle, { min: 60, max: 900, read: false });
  assert.deepEqual(RZ.lowBattery, { min: 5, max: 25, read: false });
  assert.deepEqual([RZ.buttons.count, RZ.macros.slots], [0, 0]);
  // Without the properties, none of them.
  const bare = caps.readCaps({ ...RAZER_DESCRIPTION, properties: [1, 2, 3, 5, 8] });
  assert.deepEqual([bare.battery, bare.sync, bare.idle, bare.lowBattery], [false, false, null, null]);
  // An LED that says nothing of zones, brightness or speed reads as before.
  assert.deepEqual(Object.keys(caps.readCaps(RATBAG_DESCRIPTION).lighting.leds[0]), ['effects', 'colour', 'duration']);
  // The battery, sync, idle time and threshold are no mode's: they leave the shape alone.
  const plain = { ...RAZER_DESCRIPTION, properties: [1, 2, 3, 5, 8, 64, 65, 66], battery: false, sync: false };
  delete plain.idle;
  delete plain.lowBattery;
  assert.equal(caps.shapeOf(caps.readCaps(plain)), caps.shapeOf(RZ));
  // The speed of an LED that names its speeds belongs to the reactive effect alone.
  assert.deepEqual([caps.effectMoves(5, RZ.lighting.leds[0]), caps.effectMoves(2, RZ.lighting.leds[0]), caps.effectMoves(2)], [true, false, true]);
});

test('zone records of 9 bytes: the second colour, the speed in the device\'s range', () => {
  const props = {
    1: [3], 2: [1], 3: [0x90, 0x01, 0x20, 0x03, 0x40, 0x06, 0, 0, 0, 0], 5: [3],
    8: [7, 255, 0, 0, 80, 2, 0, 0, 255, 1, 255, 255, 255, 100, 1, 0, 0, 0],
  };
  const live = ds.decodeSettings(RZ, props);
  assert.deepEqual(live.lighting[0], { effect: 7, color: '#ff0000', brightness: 80, speed: 2, color2: '#0000ff' });
  assert.deepEqual(ds.encodeProp(RZ, live, 8), props[8]);
  const want = structuredClone(live);
  want.lighting[0].color2 = '#00ff00';
  assert.deepEqual(ds.applyOrder(RZ, want, live), [[8, [7, 255, 0, 0, 80, 2, 0, 255, 0, 1, 255, 255, 255, 100, 1, 0, 0, 0]]]);
  // A reactive speed the LED does not take becomes what the mouse holds; a speed of
  // another effect is none of the device's business.
  want.lighting[0].effect = 5;
  want.lighting[0].speed = 9;
  assert.equal(ds.fitSettings(RZ, want, live), true);
  assert.equal(want.lighting[0].speed, 2);
  want.lighting[0].effect = 1;
  want.lighting[0].speed = 9;
  ds.fitSettings(RZ, want, live);
  assert.equal(want.lighting[0].speed, 9);
  want.lighting[0].color2 = 'green';
  ds.fitSettings(RZ, want, live);
  assert.equal(want.lighting[0].color2, '#0000ff');
  // No battery member, sync, idle or threshold among the mode's properties.
  assert.deepEqual(ds.modeProps(RZ), [1, 2, 3, 5, 8]);
});

test('the battery: a level and a state, nothing for none or for a level nobody knows', () => {
  assert.deepEqual(caps.readBattery([50, 1]), { level: 50, state: 1 });
  assert.deepEqual(caps.readBattery([0, 2]), { level: 0, state: 2 });
  assert.equal(caps.readBattery([255, 0]), null);
  assert.equal(caps.readBattery([0, 0]), null, 'a failed read');
  assert.equal(caps.readBattery([101, 1]), null);
  assert.equal(caps.readBattery([50, 4]), null);
  assert.equal(batteryText(null), '');
  assert.match(batteryText({ level: 40, state: 2 }), /40/);
  assert.deepEqual([batteryWarning({}), batteryWarning({ batteryWarning: '0' }), batteryWarning({ batteryWarning: '25' }),
    batteryWarning({ batteryWarning: 'x' })], [15, 0, 25, 15]);
});

test('OpenRazer\'s daemon: the note says how to get it only where a device of its maker is plugged in', () => {
  const bytes = (obj) => [...new TextEncoder().encode(JSON.stringify(obj)), 0];
  const state = (s) => caps.readServices(bytes({ services: [{ id: 'OPENRAZER\\', service: 'openrazer', bus: 'org.razer', mice: 0, driver: true, ...s }] }));
  assert.deepEqual(serviceHelp(state({ state: 'absent' })), [], 'no such device: nothing to say');
  assert.equal(serviceHelp(state({ state: 'absent', hardware: true }))[0].command, 'sudo apt install openrazer-daemon');
  assert.equal(serviceHelp(state({ state: 'stopped', hardware: true }))[0].command, 'systemctl --user start openrazer-daemon');
  assert.equal(serviceHelp(state({ state: 'plugdev', hardware: true }))[0].command, 'sudo gpasswd -a $USER plugdev');
  const noDriver = serviceHelp(state({ state: 'running', driver: false, hardware: true }));
  assert.deepEqual([noDriver[0].kind, noDriver[0].command], ['nodriver', 'sudo apt install openrazer-driver-dkms']);
  assert.deepEqual(serviceHelp(state({ state: 'running', driver: false, mice: 1, hardware: true })), [], 'serving mice');
  const gone = state({ state: 'stopped', hardware: true });
  assert.equal(serviceHelp(gone, ['OPENRAZER\\'])[0].kind, 'stoppedNow');
});
