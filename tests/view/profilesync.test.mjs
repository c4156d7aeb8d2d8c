import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { Bridge } from '../../view/js/bridge.js';
import { ProfileSync } from '../../view/js/profilesync.js';
import { profileFromXml, PROFILE_PATH } from '../../view/js/profile.js';
import { makeNative } from './fake_native.mjs';

const factoryText = readFileSync(new URL('../../resources/profiles/configuration.xml', import.meta.url), 'utf8');

function timers() {
  const pending = new Map();
  let id = 0;
  return { setTimeout(fn) { pending.set(++id, fn); return id; }, clearTimeout(i) { pending.delete(i); }, fire() { const f = [...pending.values()]; pending.clear(); f.forEach((x) => x()); }, get count() { return pending.size; } };
}

test('many changes to a mode become one edit of that mode', async () => {
  const win = makeNative({ files: { [PROFILE_PATH]: factoryText } });
  const model = profileFromXml(factoryText);
  const tm = timers();
  const states = [];
  const sync = new ProfileSync(new Bridge(win, { timers: tm }), () => model, { timers: tm, onState: (s) => states.push(s) });
  for (let i = 0; i < 5; i++) { model.modes[0].performance.debounce = 4 + i; sync.markMode('0'); }
  assert.equal(tm.count, 1);
  tm.fire();
  await sync.chain;
  assert.equal(win.edits.length, 1);
  assert.equal(win.edits[0][0], "/conf/modeSetting/modes/mode[@index='0']");
  assert.match(win.edits[0][1], /debounce="8"/);
  assert.equal(states.at(-1), 'stored');
});

test('a structural change replaces the whole document content; save writes to disk', async () => {
  const win = makeNative({ files: { [PROFILE_PATH]: factoryText } });
  const model = profileFromXml(factoryText);
  const tm = timers();
  const sync = new ProfileSync(new Bridge(win, { timers: tm }), () => model, { timers: tm });
  model.current = '0';
  sync.markMode('0');
  sync.markAll();
  await sync.save();
  assert.deepEqual(win.edits.map((e) => e[0]), ['/conf']);
  assert.ok(win.requests.at(-1).includes('savexml'));
  assert.equal(sync.dirty, false);
  const again = profileFromXml(`<conf>${win.edits[0][1]}</conf>`);
  assert.equal(again.repaired, false);
});

test('a refused edit stays marked and is sent again', async () => {
  const win = makeNative({ files: {} }); // the profile is missing: edits are never answered
  const model = profileFromXml(factoryText);
  const tm = timers();
  const states = [];
  const bridge = new Bridge(win, { timers: tm });
  const sync = new ProfileSync(bridge, () => model, { timers: tm, onState: (s) => states.push(s) });
  sync.markAll();
  const p = sync.flush();
  await new Promise((r) => setImmediate(r));
  tm.fire(); // the request times out
  await assert.rejects(p);
  assert.equal(sync.dirty, true);
  assert.equal(states.at(-1), 'failed');
  win.cache[PROFILE_PATH] = factoryText;
  await sync.flush();
  assert.equal(sync.dirty, false);
});
