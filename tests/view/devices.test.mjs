// The page's controllers with a described mouse beside the classic one (the
// Node stand-in of the native side): choosing it, its own section in each
// mode, failed writes named by their result, data reports by tag, resync,
// onboard profiles, a bound program, and the service state.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { App } from '../../view/js/app.js';
import { PROFILE_PATH, profileFromXml, profileToXml, sectionKey } from '../../view/js/profile.js';
import { readCaps, shapeOf } from '../../view/js/caps.js';
import { decodeSettings } from '../../view/js/devicesettings.js';
import { utf8Encode } from '../../view/js/bytes.js';
import { notShownDevices, serviceHelp } from '../../view/js/ui/device.js';
import { FakeMouse, RATBAG_DESCRIPTION, makeNative } from './fake_native.mjs';

const settle = async () => { for (let i = 0; i < 40; i++) await new Promise((r) => setTimeout(r, 0)); };
const HW = 'RATBAG\\unknown&Name_12345678';
// Where each mode keeps this mouse's settings: its hardware ID and its shape.
const KEY = sectionKey(HW, shapeOf(readCaps(RATBAG_DESCRIPTION)));
const INFO = { DeviceID: 'RATBAG-unknown-12345678', DevicePath: '/org/x/testdevice1', HardwareID: HW, SN: 'testdevice1', Version: '', MASK: '01', productName: 'Test device', description: 'unknown' };

function ratbagMouse() {
  const le = (v) => [v & 0xff, v >> 8];
  return new FakeMouse({
    1: [5], 2: [0], 3: [400, 800, 1600, 3200, 6400].flatMap(le), 5: [4], 12: [1], 13: [0, 0], 14: [0], 15: [7, 0],
    7: [1, 1, 0, 0, 1, 2, 0, 0, 1, 3, 0, 0, 3, 3, 0, 0, 3, 4, 0, 0, 2, 1, 46, 0, 1, 4, 0, 0, 1, 5, 0, 0, 4, 1, 0, 0, 255, 0, 0, 0, 7, 8, 0, 0],
    8: [1, 255, 0, 0, 20, 10, 0xe8, 0x03, 2, 255, 255, 255, 100, 8, 0xb8, 0x0b],
    64: utf8Encode(JSON.stringify(RATBAG_DESCRIPTION)), 66: [0],
  });
}

async function appWithRatbag({ services = null } = {}) {
  const rat = { info: INFO, mouse: ratbagMouse() };
  const win = makeNative({
    more: [rat], files: { [PROFILE_PATH]: '<conf/>' }, services,
    handlers: { confChanged: () => ({ ok: true, text: 'confChanged' }), resetProfile: () => ({ ok: true, text: 'resetProfile success' }) },
  });
  const app = new App(win);
  app.ui = { render() {}, renderAlerts() {}, updateSaveState() {}, updateChrome() {} };
  app.state.profile = profileFromXml('<conf/>');
  app.device.listen();
  app.modes.listen();
  await app.device.readServices();
  await app.device.refresh();
  return { app, win, rat };
}
const writes = (mouse) => mouse.log.filter((e) => e[0] === 'prop').map(([, id, bytes]) => [id, bytes]);

test('a described mouse is listed beside the classic one; choosing it adopts what it holds and writes nothing', async () => {
  const { app, win, rat } = await appWithRatbag();
  assert.equal(app.state.devices.length, 2);
  assert.equal(app.state.device.DeviceID, 'KELV-M1', 'the first listed is shown until another is chosen');
  assert.equal(app.state.settingsKey, null);
  await app.device.choose(HW);
  assert.equal(app.state.deviceState, 'ready');
  assert.equal(app.state.settingsKey, KEY);
  assert.deepEqual(writes(rat.mouse), []);
  const live = decodeSettings(readCaps(RATBAG_DESCRIPTION), rat.mouse.props);
  assert.deepEqual(app.mode.devices[KEY], live);
  assert.equal(app.shown, app.mode.devices[KEY]);
  assert.deepEqual(app.state.profile.firstSeen, { [KEY]: live }, 'what it held when first seen is kept');
  assert.deepEqual(app.state.onboard, { active: 0, enabled: [true, true, true], names: ['', '', ''] });
  // Kept in the profile, and shown again after a refresh of the list.
  assert.equal(app.state.profile.device, HW);
  assert.match(profileToXml(app.state.profile), /<modeSetting current="0" device="RATBAG\\unknown&amp;Name_12345678">/);
  assert.match(profileToXml(app.state.profile), new RegExp(`<device id="RATBAG\\\\unknown&amp;Name_12345678" shape="${KEY.split('\n')[1]}">`));
  await app.device.refresh();
  assert.equal(app.state.device.HardwareID, HW);
  // A change writes only what the device has; the classic mouse is not touched.
  await app.modes.change((s) => { s.performance.pollingRate = 7; s.performance.liftOff = 3; }, [5, 6]);
  assert.deepEqual(writes(rat.mouse), [[5, [7]]]);
  assert.deepEqual(writes(win.mouse), []);
  assert.equal(app.mode.performance.pollingRate, 4, 'the classic settings of the mode stay');
});

test('a write the device refuses says why by its last result and shows what the device holds', async () => {
  const { app, rat } = await appWithRatbag();
  await app.device.choose(HW);
  rat.mouse.failWrites = true;
  rat.mouse.failResult = 8;
  rat.mouse.props[3][0] = 0x20; // the device moved on meanwhile: stage 1 is 544 DPI
  rat.mouse.props[3][1] = 0x02;
  const ok = await app.modes.change((s) => { s.performance.stages[1].dpi = 900; }, [3]);
  assert.equal(ok, false);
  assert.deepEqual(app.alerts.map((a) => a.key), ['error.write.refused']);
  assert.equal(app.shown.performance.stages[1].dpi, 800, 'not what was asked');
  assert.equal(app.shown.performance.stages[0].dpi, 544, 'what the device holds, read again');
  for (const [code, key] of [[9, 'error.write.commit'], [10, 'error.write.denied'], [4, 'error.write.noAnswer'], [1, 'error.write.gone'], [77, 'error.write']]) {
    app.alerts = [];
    rat.mouse.failResult = code;
    await app.modes.change((s) => { s.performance.pollingRate = 2; }, [5]);
    assert.equal(app.alerts[0]?.key, key, `result ${code}`);
    assert.equal(app.shown.performance.pollingRate, 4);
  }
});

test('a mouse that goes while a write runs is said to be gone, not to have refused the change', async () => {
  const { app, rat } = await appWithRatbag();
  await app.device.choose(HW);
  // The daemon loses the mouse during the write: it is no longer listed, and its last
  // result can no longer be read (a mouse that is not there reads zeros).
  rat.mouse.validProp = () => { rat.present = false; return false; };
  const ok = await app.modes.change((s) => { s.performance.pollingRate = 2; }, [5]);
  assert.equal(ok, false);
  assert.deepEqual(app.alerts.map((a) => a.key), ['error.write.gone']);
});

test('data reports count only with the shown mouse\'s tag; a resync and a profile change read it again', async () => {
  const { app, win, rat } = await appWithRatbag();
  await app.device.choose(HW);
  win.emit('onDeviceData', '0102000000000000'); // the classic mouse's stage report
  win.emit('onDeviceData', '0103000000000007'); // another ratbagd mouse's
  await settle();
  assert.equal(app.shown.performance.activeStage, 0);
  win.emit('onDeviceData', '0103800c00000003');
  await settle();
  assert.equal(app.shown.performance.activeStage, 3);
  rat.mouse.props[5] = [2];
  win.emit('onDeviceData', '0501000000000003');
  await settle();
  assert.equal(app.shown.performance.pollingRate, 2);
  assert.deepEqual(app.alerts.map((a) => a.key), ['device.resynced']);
  // The page's own switch of the onboard profile reads the device without a message;
  // a switch by another program says so.
  app.alerts = [];
  rat.mouse.props[5] = [6];
  await app.device.setOnboardProfile(2);
  assert.deepEqual(writes(rat.mouse).at(-1), [14, [2]]);
  win.emit('onDeviceData', '0602000000000003');
  await settle();
  assert.deepEqual(app.alerts, []);
  assert.equal(app.state.onboard.active, 2);
  assert.equal(app.shown.performance.pollingRate, 6);
  rat.mouse.props[14] = [1];
  win.emit('onDeviceData', '0601000000000003');
  await settle();
  assert.deepEqual(app.alerts.map((a) => a.key), ['device.profileChanged']);
  assert.equal(app.state.onboard.active, 1);
  await app.device.setOnboardEnabled(2, false);
  assert.deepEqual(writes(rat.mouse).at(-1), [15, [3, 0]]);
  await app.device.setOnboardEnabled(1, false);
  assert.deepEqual(writes(rat.mouse).at(-1), [15, [3, 0]], 'the active profile stays enabled');
});

test('a note on a typed DPI goes when the mouse is read again: another onboard profile, a resync', async () => {
  const { app, win } = await appWithRatbag();
  await app.device.choose(HW);
  const note = { stage: 0, asked: 333, value: 350, reason: 'list' };
  app.state.view.dpiNote = note;
  await app.device.setOnboardProfile(1);
  assert.equal(app.state.view.dpiNote, undefined, 'stage 1 of profile 2 was not set to 350 DPI');
  app.state.view.dpiNote = note;
  win.emit('onDeviceData', '0501000000000003');
  await settle();
  assert.deepEqual(app.alerts.map((a) => a.key), ['device.resynced']);
  assert.equal(app.state.view.dpiNote, undefined);
});

test('a bound program writes its mode into the described mouse and the previous one comes back', async () => {
  const { app, win, rat } = await appWithRatbag();
  await app.device.choose(HW);
  const game = await app.modes.add();
  const s = app.state.profile.modes.find((m) => m.index === game).devices[KEY];
  s.performance.pollingRate = 2;
  s.performance.stages[0].dpi = 1600;
  s.buttons[0] = { type: 7, p1: 9, p2: 0, p3: 0 };
  s.performance.liftOff = 3; // the classic mouse's setting: never written here
  rat.mouse.log = [];
  win.emit('onProcessChanged', Number(game), true);
  await settle();
  assert.equal(app.state.profile.current, game);
  assert.deepEqual(writes(rat.mouse).map(([id]) => id), [3, 5, 7]);
  assert.deepEqual(rat.mouse.props[5], [2]);
  win.emit('onProcessChanged', Number(game), false);
  await settle();
  assert.equal(app.state.profile.current, '0');
  assert.deepEqual(rat.mouse.props[5], [4]);
  assert.deepEqual(rat.mouse.props[7].slice(0, 4), [1, 1, 0, 0]);
});

test('the services are read at the start and again on device event 3', async () => {
  const state = (st) => [...utf8Encode(JSON.stringify({ services: [{ id: 'RATBAG\\', service: 'ratbagd', state: st, api: 1, mice: 0 }] })), 0];
  const { app, win } = await appWithRatbag({ services: state('absent') });
  assert.equal(app.state.services[0].state, 'absent');
  assert.ok(win.requests.some((r) => JSON.parse(r).HardwareID === 'SERVICES\\'));
  assert.ok(!win.requests.some((r) => JSON.parse(r).HardwareID === 'RATBAG\\'), 'no service is named by its ID');
  win.services = state('running');
  win.emit('devicesChanged', 1);
  await settle();
  assert.equal(app.state.services[0].state, 'absent', 'a plug event leaves it');
  win.emit('devicesChanged', 3);
  await settle();
  assert.equal(app.state.services[0].state, 'running');
});

test('a note for each service that cannot serve mice, none for one the page has no words for', () => {
  const ratbagd = { id: 'RATBAG\\', service: 'ratbagd', state: 'stopped', api: 1, mice: 0 };
  assert.deepEqual(serviceHelp([ratbagd]),
    [{ kind: 'stopped', title: 'service.title', text: 'service.stopped', api: 1, command: 'sudo systemctl start ratbagd', start: null }]);
  assert.deepEqual(serviceHelp([{ ...ratbagd, state: 'denied', api: null }]),
    [{ kind: 'denied', title: 'service.title', text: 'service.denied', api: '?', command: null, start: null }]);
  // The library gave up starting a ratbagd that failed again and again: the page offers to.
  assert.deepEqual(serviceHelp([{ ...ratbagd, startGivenUp: true }], ['RATBAG\\']),
    [{ kind: 'gaveUp', title: 'service.gaveUpTitle', text: 'service.gaveUp', api: 1, command: 'journalctl -u ratbagd', start: 'RATBAG\\' }]);
  // What a running service does not show is said, with why.
  const running = { ...ratbagd, state: 'running', notShown: [{ name: 'G915', why: 'keyboard' }, { name: 'LED', why: 'unreadable', retrying: false },
    { name: 'New', why: 'unreadable', retrying: true }] };
  assert.deepEqual(notShownDevices([running, { ...running, state: 'stopped' }]), [
    { name: 'G915', text: 'service.notShown.keyboard' }, { name: 'LED', text: 'service.notShown.unreadable' },
    { name: 'New', text: 'service.notShown.retrying' }]);
  assert.deepEqual(serviceHelp([{ ...ratbagd, state: 'running' }, { ...ratbagd, state: 'looking' }, { ...ratbagd, state: 'off' }]), []);
  assert.deepEqual(serviceHelp([{ id: 'OTHER\\', service: 'other', state: 'absent' }, ratbagd]).map((p) => p.kind), ['stopped']);
  assert.deepEqual(serviceHelp(undefined), []);
  // A service seen running that is gone has stopped; another one that never ran is missing.
  const other = { ...ratbagd, id: 'RATBAG2\\', state: 'absent' };
  assert.deepEqual(serviceHelp([{ ...ratbagd, state: 'absent' }, other], ['RATBAG\\']).map((p) => [p.kind, p.title, p.command]), [
    ['stoppedNow', 'service.stoppedTitle', 'sudo systemctl start ratbagd'],
    ['absent', 'service.title', 'sudo apt install ratbagd'],
  ]);
});

test('when the shown mouse goes away it stays shown, disconnected, and is connected again when it is back', async () => {
  const { app, rat } = await appWithRatbag();
  await app.device.choose(HW);
  rat.present = false; // unplugged
  await app.device.refresh();
  assert.equal(app.state.device, null);
  assert.equal(app.state.gone.HardwareID, HW);
  assert.equal(app.state.deviceState, 'none');
  assert.equal(app.state.settingsKey, KEY, 'its own settings stay on the screens');
  assert.equal(app.device.caps.buttons.count, 11);
  rat.present = true;
  await app.device.refresh();
  assert.equal(app.state.device.HardwareID, HW);
  assert.equal(app.state.gone, null);
});

test('the factory reset keeps the chosen mouse shown and gives it back what it held when first seen', async () => {
  const { app, rat } = await appWithRatbag();
  await app.device.choose(HW);
  await app.modes.change((s) => { s.performance.pollingRate = 7; }, [5]);
  await app.modes.reset();
  await settle();
  assert.equal(app.state.profile.device, HW);
  assert.equal(app.state.device.HardwareID, HW);
  assert.deepEqual(app.shown.performance.pollingRate, 4, 'every mode starts from what the mouse held when first seen');
  assert.deepEqual(rat.mouse.props[5], [4]);
  assert.deepEqual(Object.keys(app.state.profile.firstSeen), [KEY], 'and that stays known');
});

test('a macro the mouse already holds is not written again, also with a name longer than its slot keeps', async () => {
  const win = makeNative({ files: { [PROFILE_PATH]: '<conf/>' }, handlers: { confChanged: () => ({ ok: true, text: 'confChanged' }) } });
  const app = new App(win);
  app.ui = { render() {}, renderAlerts() {}, updateSaveState() {}, updateChrome() {} };
  app.state.profile = profileFromXml('<conf/>');
  const steps = [{ kind: 'down', scan: 30, ext: 0 }, { kind: 'delay', ms: 40 }, { kind: 'up', scan: 30, ext: 0 }];
  // 20 Cyrillic letters are 40 bytes: the slot keeps the first 14 of them.
  app.state.profile.macros.push({ slot: 2, name: 'Перезарядка оружия 1', repeat: 0, count: 1, steps },
    { slot: 3, name: 'Short', repeat: 0, count: 1, steps });
  app.device.listen();
  app.modes.listen();
  await app.device.refresh();
  await settle();
  const macroWrites = () => win.mouse.log.filter((e) => e[0] === 'clean' || e[0] === 'macro');
  assert.deepEqual(macroWrites().map((e) => e[1]), [0x2000, 0x2800], 'both stored once');
  assert.equal(app.state.macroStatus[2], 'stored');
  win.mouse.log = [];
  await app.macros.syncToMouse();
  assert.deepEqual(macroWrites(), [], 'what the mouse holds is left as it is');
  assert.equal(app.state.macroStatus[2], 'stored');
});

test('onboard profiles switched on and off faster than the mouse answers all count, the last click of each winning', async () => {
  const { app, rat } = await appWithRatbag();
  await app.device.choose(HW);
  assert.deepEqual(app.state.onboard.enabled, [true, true, true]);
  // The device is read again once, after the last write: an earlier read
  // could come back after a later write and show a list already gone.
  let reads = 0;
  const reread = app.device.reread.bind(app.device);
  app.device.reread = (o) => { reads += 1; return reread(o); };
  await Promise.all([app.device.setOnboardEnabled(1, false), app.device.setOnboardEnabled(2, false)]);
  assert.deepEqual(rat.mouse.props[15], [1, 0], 'both profiles off, not only the last clicked');
  assert.equal(reads, 1);
  assert.deepEqual(app.state.onboard.enabled, [true, false, false]);
  await Promise.all([app.device.setOnboardEnabled(1, true), app.device.setOnboardEnabled(1, false), app.device.setOnboardEnabled(2, true)]);
  assert.deepEqual(rat.mouse.props[15], [5, 0]);
  assert.deepEqual(app.state.onboard.enabled, [true, false, true]);
});
