// The page resting in the tray: what it keeps in the session storage and how
// it comes back (js/rest.js), without a browser.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { App } from '../../view/js/app.js';
import { keepState, restoreState } from '../../view/js/rest.js';
import { capsFromBytes } from '../../view/js/caps.js';
import { utf8Encode } from '../../view/js/bytes.js';
import { DeviceError, Mouse } from '../../view/js/mouse.js';
import { PROFILE_PATH, profileFromXml } from '../../view/js/profile.js';
import { RATBAG_DESCRIPTION, makeNative } from './fake_native.mjs';

// A window with a session storage and a document that says whether it rested.
function restingWindow(wasDiscarded) {
  const items = new Map();
  const sessionStorage = { getItem: (k) => items.get(k) ?? null, setItem: (k, v) => items.set(k, String(v)) };
  const document = { wasDiscarded, activeElement: null, querySelector: () => null };
  return { sessionStorage, document, items };
}

function appWithRatbagMouse() {
  const app = new App(makeNative({ files: { [PROFILE_PATH]: '<conf/>' } }));
  app.state.profile = profileFromXml('<conf/>');
  app.state.device = { HardwareID: 'ratbag-0003-046d-c539', Name: 'Test device' };
  app.state.deviceState = 'ready';
  app.state.settingsKey = app.state.device.HardwareID;
  app.state.onboard = { active: 1, enabled: [0, 1, 2] };
  const description = [...utf8Encode(JSON.stringify(RATBAG_DESCRIPTION)), 0, 0];
  app.device.mouse = new Mouse(app.bridge, app.state.device, capsFromBytes(description));
  app.device.mouse.description = description;
  return app;
}

test('a page that rested comes back with the mouse it described, not the classic one', () => {
  const win = restingWindow(true);
  keepState(appWithRatbagMouse(), win);

  const back = new App(makeNative({ files: { [PROFILE_PATH]: '<conf/>' } }));
  const view = restoreState(back, win);
  assert.ok(view, 'the kept state is read');
  assert.equal(back.state.settingsKey, 'ratbag-0003-046d-c539', 'modes keep this mouse\'s settings apart');
  assert.deepEqual(back.state.onboard, { active: 1, enabled: [0, 1, 2] });
  back.device.resume(view.description);
  assert.equal(back.state.deviceState, 'ready');
  assert.equal(back.device.caps.buttons.count, 11, 'the mouse\'s own buttons');
  assert.equal(back.device.caps.tag, 3);
});

test('a mouse that went away while the page rested comes back shown as disconnected, with its own settings', () => {
  const win = restingWindow(true);
  const app = appWithRatbagMouse();
  // It went away: the page keeps it shown, and what it can do.
  app.state.gone = app.state.device;
  app.state.device = null;
  app.state.deviceState = 'none';
  app.state.servicesSeenRunning = ['RATBAG\\'];
  app.device.goneCaps = app.device.mouse.caps;
  app.device.goneDescription = app.device.mouse.description;
  app.device.mouse = null;
  keepState(app, win);
  const back = new App(makeNative({ files: { [PROFILE_PATH]: '<conf/>' } }));
  back.device.resume(restoreState(back, win).description);
  assert.equal(back.state.gone.HardwareID, 'ratbag-0003-046d-c539');
  assert.deepEqual(back.state.servicesSeenRunning, ['RATBAG\\']);
  assert.equal(back.state.settingsKey, 'ratbag-0003-046d-c539');
  assert.equal(back.device.caps.buttons.count, 11, 'its own buttons, not the classic mouse\'s');
  // Without its description the page edits the classic settings, as without any mouse.
  app.device.goneDescription = null;
  keepState(app, win);
  const bare = new App(makeNative({ files: { [PROFILE_PATH]: '<conf/>' } }));
  bare.device.resume(restoreState(bare, win).description);
  assert.equal(bare.state.gone, null);
  assert.equal(bare.state.settingsKey, null);
});

test('without a usable kept description the mouse is read again; a fresh page reads nothing kept', () => {
  const win = restingWindow(true);
  const app = appWithRatbagMouse();
  app.device.mouse.description = [...utf8Encode('{"format":'), 0];
  keepState(app, win);
  const back = new App(makeNative({ files: { [PROFILE_PATH]: '<conf/>' } }));
  back.device.resume(restoreState(back, win).description);
  assert.equal(back.state.deviceState, 'none', 'connected afresh by the next look at the list');

  const fresh = restingWindow(false);
  fresh.items = win.items;
  fresh.sessionStorage = win.sessionStorage;
  assert.equal(restoreState(new App(makeNative({})), fresh), null, 'a new start of the program starts afresh');
});

// A macro the mouse refused says so until it is stored: the page that rested
// in the tray and is opened again shows it "Not stored in the mouse" as before
// (it used to come back with no word about it, as if all were well).
test('whether each macro is stored in the mouse outlives the rest', () => {
  const win = restingWindow(true);
  const app = appWithRatbagMouse();
  app.state.macroStatus = { 0: { error: new DeviceError('error.macroClear', 'cleanMacroByAddr failed!') }, 1: 'stored' };
  keepState(app, win);

  const back = new App(makeNative({ files: { [PROFILE_PATH]: '<conf/>' } }));
  restoreState(back, win);
  assert.equal(back.state.macroStatus[1], 'stored');
  assert.equal(back.state.macroStatus[0].error.key, 'error.macroClear', 'the refusal, with what failed');
});

// The page's own start (the end of js/app.js) in a document it cannot build its
// screens in: the start fails, and the failure is reported as the start's error,
// the held events are let go, and nothing is left unhandled.
test('a start that fails is reported as the page not starting', async () => {
  const warnings = [];
  const unhandled = [];
  const onUnhandled = (e) => unhandled.push(e);
  const saved = { window: globalThis.window, document: globalThis.document, warn: console.warn, error: console.error };
  process.on('unhandledRejection', onUnhandled);
  globalThis.window = {};
  globalThis.document = {};
  console.warn = (...args) => warnings.push(args.join(' '));
  console.error = () => {};
  try {
    await import('../../view/js/app.js?start-fails');
    await new Promise((resolve) => setTimeout(resolve, 50));
  } finally {
    process.off('unhandledRejection', onUnhandled);
    Object.assign(console, { warn: saved.warn, error: saved.error });
    globalThis.window = saved.window;
    globalThis.document = saved.document;
  }
  assert.deepEqual(unhandled, []);
  assert.equal(warnings.filter((w) => w.startsWith('error.start:')).length, 1, warnings.join('\n'));
});

// A page woken from its rest for an event: its document takes the events held
// for it as soon as the page's scripts have run, while the start still waits
// for the page's language. The events must find the page listening by then.
test('a page back from its rest listens for events before it waits for its language', async (t) => {
  const items = new Map();
  const sessionStorage = { getItem: (k) => items.get(k) ?? null, setItem: (k, v) => items.set(k, String(v)) };
  const rested = new App(makeNative());
  rested.state.conf = { language: 'de-DE' };
  keepState(rested, { sessionStorage, document: null });
  const document = { wasDiscarded: true, documentElement: {}, querySelector() { throw new Error('no page to draw on'); } };
  Object.assign(globalThis, { document, sessionStorage });
  t.after(() => { delete globalThis.document; delete globalThis.sessionStorage; });

  const win = makeNative();
  const app = new App(win);
  const started = app.start();
  // What the program held while the page rested arrives now.
  win.emit('onProcessChanged', '2', true);
  win.emit('devicesChanged', 1);
  win.emit('macroItem', '1', '30', '0', 'down');
  await assert.rejects(started, /no page to draw on/);
  assert.deepEqual(app.bridge.held, [
    ['onProcessChanged', ['2', true]], ['devicesChanged', [1]], ['macroItem', ['1', '30', '0', 'down']],
  ]);
});

// A snapshot the storage refuses (full) leaves none behind: the one before
// it, with the bound programs that ran then, would come back in its place and
// switch to a mode no program asks for any more.
test('a snapshot the storage refuses leaves no older one to come back', () => {
  const win = restingWindow(true);
  const app = appWithRatbagMouse();
  app.state.boundRunning = ['2'];
  app.state.homeMode = '0';
  keepState(app, win);
  app.state.boundRunning = [];
  win.sessionStorage.setItem = () => { throw new Error('QuotaExceededError'); };
  win.sessionStorage.removeItem = (k) => win.items.delete(k);
  keepState(app, win);

  const back = new App(makeNative({ files: { [PROFILE_PATH]: '<conf/>' } }));
  assert.equal(restoreState(back, win), null, 'the page starts afresh');
  assert.deepEqual(back.state.boundRunning, []);
});
