// A real mouse is the mouse the page opens on: the simulated mouse named as
// such, listed after real mice and hidden as the setting says; a mouse that
// goes away stays shown, disconnected; a device of another shape under a
// known hardware ID leaves the settings kept for the first alone; resets
// bring back what the mouse held when first seen; only functions the mouse
// has are offered. Through the controllers, against the Node stand-in of the
// native side.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { App } from '../../view/js/app.js';
import { CLASSIC_DESCRIPTION, functionsFor, readCaps, shapeOf, typesFor } from '../../view/js/caps.js';
import { modelText, pickMouse, simulatedSetting, visibleMice } from '../../view/js/devicechoice.js';
import { decodeSettings } from '../../view/js/devicesettings.js';
import { utf8Encode } from '../../view/js/bytes.js';
import { setLanguage } from '../../view/js/i18n.js';
import { PROFILE_PATH, profileFromXml, profileToXml, sectionKey } from '../../view/js/profile.js';
import { deviceDetails, deviceName } from '../../view/js/ui/device.js';
import { lightUp } from '../../view/js/ui/lighting.js';
import { FakeMouse, RATBAG_DESCRIPTION, makeNative } from './fake_native.mjs';

const settle = async () => { for (let i = 0; i < 40; i++) await new Promise((r) => setTimeout(r, 0)); };
const HW = 'RATBAG\\unknown&Name_12345678';
const INFO = { DeviceID: 'RATBAG-unknown-12345678', DevicePath: '/org/x/testdevice1', HardwareID: HW, SN: 'testdevice1', Version: '', MASK: '01', productName: 'Test device', description: 'unknown', serial: '' };
const MANY_KEY = sectionKey(HW, shapeOf(readCaps(RATBAG_DESCRIPTION)));
const le = (v) => [v & 0xff, v >> 8];

// The daemon's placeholder under the same hardware ID: one stage, one button, no light.
const PLACEHOLDER = {
  ...RATBAG_DESCRIPTION, properties: [1, 2, 3, 5, 7, 13, 14, 15, 64, 65, 66],
  stages: { ...RATBAG_DESCRIPTION.stages, min: 1, max: 1, dpi: [[800, 800, 1]], default: false },
  reportRates: [[4, 1000]], buttons: { count: 1, roles: [''], allowed: [2] }, functions: { 1: [1, 2, 3] },
  lighting: { record: 8, leds: [] }, profiles: { count: 1, disable: false },
};

function manyMouse() {
  return new FakeMouse({
    1: [5], 2: [0], 3: [400, 800, 1600, 3200, 6400].flatMap(le), 5: [4], 12: [1], 13: [0, 0], 14: [0], 15: [7, 0],
    7: [1, 1, 0, 0, 1, 2, 0, 0, 1, 3, 0, 0, 3, 3, 0, 0, 3, 4, 0, 0, 2, 1, 46, 0, 1, 4, 0, 0, 1, 5, 0, 0, 4, 1, 0, 0, 255, 0, 0, 0, 7, 8, 0, 0],
    8: [1, 255, 0, 0, 20, 10, 0xe8, 0x03, 0, 0, 0, 0, 0, 8, 0xb8, 0x0b],
    64: utf8Encode(JSON.stringify(RATBAG_DESCRIPTION)), 66: [0],
  });
}

function placeholderMouse() {
  return new FakeMouse({ 1: [1], 2: [0], 3: le(800), 5: [4], 7: [1, 1, 0, 0], 13: [0, 0], 14: [0], 15: [1, 0], 64: utf8Encode(JSON.stringify(PLACEHOLDER)), 66: [0] });
}

// The classic mouse as the simulated one describes itself.
function simulatedMouse() {
  const m = new FakeMouse();
  m.props[64] = utf8Encode(JSON.stringify({ ...CLASSIC_DESCRIPTION, source: 'simulator', name: 'kelv M1 (simulated)', properties: [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 64, 66] }));
  return m;
}

const serviceBytes = (state) => [...utf8Encode(JSON.stringify({ services: [{ id: 'RATBAG\\', service: 'ratbagd', state, api: 1, mice: 0 }] })), 0];

async function start({ profile = '<conf/>', conf = {}, session = {}, rat = { info: INFO, mouse: manyMouse() }, services = serviceBytes('running') } = {}) {
  const win = makeNative({
    mouse: simulatedMouse(), more: rat ? [rat] : [], files: { [PROFILE_PATH]: profile }, services,
    handlers: { confChanged: () => ({ ok: true, text: 'confChanged' }), resetProfile: () => ({ ok: true, text: 'resetProfile success' }) },
  });
  const app = new App(win);
  app.ui = { render() {}, renderAlerts() {}, updateSaveState() {}, updateChrome() {} };
  app.state.conf = conf;
  app.state.session = session;
  app.state.profile = profileFromXml(profile);
  app.device.listen();
  app.modes.listen();
  await app.device.readServices();
  await app.device.refresh();
  return { app, win, rat };
}
const writes = (mouse) => mouse.log.filter((e) => e[0] === 'prop').map(([, id, bytes]) => [id, bytes]);

test('which mouse is listed and shown: real ones first, the simulated one as the setting says and never over a real one', () => {
  const real = { HardwareID: 'R1', simulated: false };
  const other = { HardwareID: 'R2', simulated: false };
  const sim = { HardwareID: 'S', simulated: true };
  assert.equal(simulatedSetting({}, {}), 'shown');
  assert.equal(simulatedSetting({ simulatedMouse: '' }, { packaged: true }), 'alone', 'the package hides it while a real mouse is there');
  assert.equal(simulatedSetting({ simulatedMouse: 'hidden' }, { packaged: false }), 'hidden');
  assert.equal(simulatedSetting({ simulatedMouse: 'nonsense' }, {}), 'shown');
  assert.deepEqual(visibleMice([sim, real, other], 'shown'), [real, other, sim]);
  assert.deepEqual(visibleMice([sim, real], 'alone'), [real]);
  assert.deepEqual(visibleMice([sim], 'alone'), [sim]);
  assert.deepEqual(visibleMice([sim, real], 'hidden'), [real]);
  assert.deepEqual(visibleMice([sim], 'hidden'), []);
  assert.equal(pickMouse([real, sim]), real, 'a start opens on the real mouse');
  assert.equal(pickMouse([sim]), sim);
  assert.equal(pickMouse([real, sim], { shown: sim }), real, 'a real mouse plugged in takes the place of the simulated one');
  assert.equal(pickMouse([real, sim], { shown: sim, picked: 'S' }), sim, 'unless the user picked it');
  assert.equal(pickMouse([real, other, sim], { chosen: 'R2' }), other);
  assert.equal(pickMouse([real, other], { shown: other }), other);
  assert.equal(pickMouse([real, sim], { shown: other, stays: true }), null, 'a real mouse that went stays shown');
  assert.equal(pickMouse([real, sim], { shown: other, stays: false }), real, 'one never read gives way');
  assert.equal(pickMouse([real], { shown: sim, stays: true }), real, 'the simulated one that went gives way');
  assert.equal(pickMouse([real], { shown: sim, bootLoader: true }), null, 'in its boot loader it comes back');
  // What people read as the model.
  assert.equal(modelText('unknown'), '');
  assert.equal(modelText(''), '');
  assert.equal(modelText('usb:046d:C539:0'), 'USB 046d:c539');
  assert.equal(modelText('bluetooth:046d:b019:0'), 'Bluetooth 046d:b019');
  assert.equal(modelText('Kelv Pro'), 'Kelv Pro');
});

test('the page opens on the real mouse; the simulated one comes after it, named as simulated', async () => {
  await setLanguage('en');
  const { app, win } = await start();
  assert.deepEqual(app.state.devices.map((d) => [d.HardwareID, d.simulated]), [[HW, false], ['HID\\Vid_0aa0&Pid_5e30', true]]);
  assert.equal(app.state.device.HardwareID, HW);
  assert.equal(app.state.deviceState, 'ready');
  const sim = app.state.devices[1];
  assert.equal(deviceName(sim), 'Simulated mouse');
  assert.equal(deviceDetails(sim), 'Changes here reach no real mouse');
  assert.equal(deviceName(app.state.device), 'Test device');
  assert.equal(deviceDetails(app.state.device), '', 'no model "unknown", no serial that is the daemon\'s object name');
  await setLanguage('de-DE');
  assert.equal(deviceName(sim), 'Simulierte Maus');
  await setLanguage('en');
  // Picked by hand, the simulated mouse is shown (and stays when the list is read again)...
  await app.device.choose(sim.HardwareID);
  await app.device.refresh();
  assert.equal(app.state.device.HardwareID, sim.HardwareID);
  assert.equal(app.state.profile.device, '', 'not kept as the choice');
  // ...but the next start opens on the real mouse again.
  const next = new App(win);
  next.ui = app.ui;
  next.state.profile = app.state.profile;
  next.device.listen();
  await next.device.refresh();
  assert.equal(next.state.device.HardwareID, HW);
});

test('the setting hides the simulated mouse; the package\'s build hides it while a real mouse is there', async () => {
  const { app, rat } = await start({ session: { packaged: true } });
  assert.deepEqual(app.state.devices.map((d) => d.HardwareID), [HW]);
  app.state.conf.simulatedMouse = 'shown';
  await app.device.refresh();
  assert.equal(app.state.devices.length, 2);
  assert.equal(app.state.device.HardwareID, HW);
  app.state.conf.simulatedMouse = 'hidden';
  rat.present = false;
  await app.device.refresh();
  assert.deepEqual(app.state.devices, [], 'never listed');
  assert.equal(app.state.gone.HardwareID, HW, 'the real mouse stays shown, disconnected');
  // Without any real mouse, "only without a real mouse" lists it.
  const alone = await start({ session: { packaged: true }, rat: null });
  assert.equal(alone.app.state.device.simulated, true);
});

test('a daemon that goes away: its mouse stays shown, disconnected, with its own settings, and takes its mode when back', async () => {
  const { app, win, rat } = await start();
  assert.deepEqual(app.state.servicesSeenRunning, ['RATBAG\\']);
  rat.present = false;
  win.services = serviceBytes('absent'); // what the device library says today when the bus cannot start it
  win.emit('devicesChanged', 3);
  await settle();
  assert.equal(app.state.device, null, 'not the simulated mouse');
  assert.equal(app.state.gone.HardwareID, HW);
  assert.equal(app.state.services[0].state, 'absent');
  assert.equal(app.state.settingsKey, MANY_KEY);
  assert.equal(app.shown.buttons.length, 11, 'the screens show its settings');
  // Changed while it is away: saved, and written when it is back.
  await app.modes.change((s) => { s.performance.pollingRate = 7; }, [5]);
  assert.equal(app.mode.devices[MANY_KEY].performance.pollingRate, 7);
  rat.mouse.log = [];
  rat.present = true;
  win.services = serviceBytes('running');
  win.emit('devicesChanged', 3);
  await settle();
  assert.equal(app.state.device.HardwareID, HW);
  assert.deepEqual(writes(rat.mouse), [[5, [7]]]);
  // The user may pick another mouse meanwhile.
  rat.present = false;
  await app.device.refresh();
  await app.device.choose('HID\\Vid_0aa0&Pid_5e30');
  assert.equal(app.state.device.simulated, true);
  assert.equal(app.state.gone, null);
});

test('a device of another shape under the same ID leaves the mode\'s settings alone; the mouse gets them back', async () => {
  const { app, win, rat } = await start();
  await app.modes.change((s) => { s.buttons[5] = { type: 2, p1: 1, p2: 0x2f, p3: 0 }; s.lighting[1].effect = 1; }, [7, 8]);
  const kept = structuredClone(app.mode.devices[MANY_KEY]);
  // The daemon comes back with its placeholder "Test device" under the same hardware ID.
  rat.mouse = placeholderMouse();
  rat.info = { ...INFO, SN: 'testdevice2' };
  await app.device.refresh();
  assert.equal(app.state.deviceState, 'ready');
  const placeholderKey = app.state.settingsKey;
  assert.notEqual(placeholderKey, MANY_KEY);
  assert.deepEqual(app.mode.devices[MANY_KEY], kept, 'kept as it was');
  assert.equal(app.shown.buttons.length, 1);
  assert.deepEqual(app.shown.buttons[0], kept.buttons[0], 'what fits is applied');
  assert.match(profileToXml(app.state.profile), /Name_12345678" shape="[0-9a-f]{8}">.*Name_12345678" shape="[0-9a-f]{8}">/s);
  // The real mouse again: it gets what the mode holds for it.
  const back = manyMouse();
  rat.mouse = back;
  rat.info = { ...INFO, SN: 'testdevice3' };
  await app.device.refresh();
  assert.equal(app.state.settingsKey, MANY_KEY);
  assert.deepEqual(app.shown, kept);
  assert.deepEqual(back.props[7].slice(20, 24), [2, 1, 0x2f, 0], 'Ctrl+V on button 6');
  assert.equal(back.props[8][8], 1, 'LED 2 static again');
  // Each shape keeps what it held when first seen.
  assert.deepEqual(Object.keys(app.state.profile.firstSeen).sort(), [MANY_KEY, placeholderKey].sort());
  void win;
});

test('a section written before shapes were kept is taken over by the shape it suits, and read back', async () => {
  const old = '<conf><modeSetting current="0"><modes><mode index="0" name="Default" bindingProcess="">'
    + `<device id="${HW.replace('&', '&amp;')}"><performance stageCount="5" activeStage="0" pollingRate="6" defaultStage="1">`
    + [400, 800, 1600, 3200, 6400].map((dpi, i) => `<stage index="${i}" dpi="${dpi}"/>`).join('')
    + '</performance><buttons>' + Array.from({ length: 11 }, (_, i) => `<button index="${i}" type="1" p1="${(i % 5) + 1}" p2="0" p3="0"/>`).join('')
    + '</buttons><lighting><led index="0" effect="1" color="#ff0000" brightness="20" speed="10" duration="1000"/>'
    + '<led index="1" effect="0" color="#000000" brightness="0" speed="8" duration="3000"/></lighting></device></mode></modes></modeSetting></conf>';
  const { app, rat } = await start({ profile: old });
  assert.deepEqual(Object.keys(app.mode.devices), [MANY_KEY]);
  assert.equal(app.shown.performance.pollingRate, 6);
  assert.deepEqual(rat.mouse.props[5], [6], 'the mouse took the mode');
  const again = profileFromXml(profileToXml(app.state.profile));
  assert.deepEqual(again.modes[0].devices, app.state.profile.modes[0].devices);
  assert.deepEqual(again.firstSeen, app.state.profile.firstSeen);
});

test('resets bring back what the mouse held when first seen, never another mouse\'s defaults', async () => {
  const { app, rat } = await start();
  const first = decodeSettings(readCaps(RATBAG_DESCRIPTION), manyMouse().props);
  // Every screen of a described mouse has its reset.
  for (const section of ['performance', 'buttons', 'lighting']) assert.ok(app.modes.sectionDefaults(section), section);
  await app.modes.change((s) => { s.buttons[3] = { type: 7, p1: 9, p2: 0, p3: 0 }; s.buttons[9] = { type: 1, p1: 1, p2: 0, p3: 0 }; }, [7]);
  await app.modes.change((s) => { s.performance.pollingRate = 7; s.performance.stages[1].dpi = 1000; }, [3, 5]);
  await app.modes.change((s) => { s.lighting[0].color = '#00ff00'; }, [8]);
  assert.deepEqual(app.modes.buttonDefault(3), { type: 3, p1: 3, p2: 0, p3: 0 }, 'DPI up, as it was: not "Button 4"');
  assert.equal(app.modes.buttonDefault(9), null, 'what the page could not show is nothing to restore');
  await app.modes.resetSection('buttons');
  assert.deepEqual(rat.mouse.props[7].slice(12, 16), [3, 3, 0, 0]);
  assert.deepEqual(app.shown.buttons[9], { type: 1, p1: 1, p2: 0, p3: 0 }, 'a button first seen as unknown keeps what it does');
  assert.deepEqual(app.alerts.at(-1).key, 'screenReset.doneFirstSeen');
  await app.modes.resetSection('performance');
  assert.deepEqual(app.shown.performance, first.performance);
  assert.deepEqual(rat.mouse.props[5], [4]);
  await app.modes.resetSection('lighting');
  assert.deepEqual(app.shown.lighting, first.lighting);
  // A macro deleted: its buttons go back to what they held when first seen.
  app.macros.create(1);
  await app.modes.change((s) => { s.buttons[4] = { type: 5, p1: 1, p2: 0, p3: 0 }; }, [7]);
  await app.macros.remove(1);
  assert.deepEqual(app.shown.buttons[4], { type: 3, p1: 4, p2: 0, p3: 0 });
});

test('only functions the mouse has: no stage functions with one stage, no profile functions with one onboard profile', () => {
  const many = readCaps(RATBAG_DESCRIPTION);
  assert.deepEqual(functionsFor(many, 3), [1, 2, 3, 4, 5, 6]);
  assert.deepEqual(functionsFor(many, 4), [1, 2, 3, 4]);
  const one = readCaps({ ...RATBAG_DESCRIPTION, stages: { ...RATBAG_DESCRIPTION.stages, min: 1, max: 1 }, profiles: { count: 1, disable: false } });
  assert.deepEqual(functionsFor(one, 3), []);
  assert.deepEqual(functionsFor(one, 4), []);
  assert.deepEqual(typesFor(one, 0), [1, 7, 2, 5, 6, 8]);
  // On the classic mouse the profile functions switch the page's modes.
  const classic = readCaps({ ...CLASSIC_DESCRIPTION });
  assert.deepEqual(functionsFor(classic, 4), [1, 2]);
});

test('an effect chosen for a light that was off lights it: a colour and full brightness, not black at 0 %', () => {
  const off = { effect: 0, color: '#000000', brightness: 0, speed: 8, duration: 3000 };
  const on = structuredClone(off);
  lightUp(on, 1);
  assert.deepEqual([on.effect, on.color, on.brightness], [1, '#39a7da', 100]);
  const one = structuredClone(off);
  lightUp(one, 2, 'rgb111');
  assert.deepEqual([one.color, one.brightness], ['#ff0000', 100]);
  const cycle = structuredClone(off);
  lightUp(cycle, 3);
  assert.deepEqual([cycle.color, cycle.brightness], ['#000000', 100], 'a colour cycle has colours of its own');
  const lit = { effect: 1, color: '#000000', brightness: 0, speed: 5 };
  lightUp(lit, 2);
  assert.deepEqual([lit.color, lit.brightness], ['#000000', 0], 'a light that was on is left as the user set it');
});
