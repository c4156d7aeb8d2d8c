import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { Bridge } from '../../view/js/bridge.js';
import { ProfileSync } from '../../view/js/profilesync.js';
import { modeElement, profileFromXml, PROFILE_PATH } from '../../view/js/profile.js';
import { child, parseXml, parseXmlFragment, serialize } from '../../view/js/xml.js';
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

// A native profile cache that applies the edits (modifyProfileEx on /conf or
// on one mode, modifyReplaceProfileEx from an export file) and answers each
// request on a later turn, so page work can run in between. onRequest(name)
// is called as each request arrives.
function editingNative(text, exports, onRequest = () => {}) {
  let doc = parseXml(text);
  const modesNode = () => child(child(doc, 'modeSetting'), 'modes');
  const win = {
    requests: [],
    text: () => serialize(doc),
    cefQuery({ request, onSuccess, onFailure }) {
      const r = JSON.parse(request);
      win.requests.push(r.funcname);
      onRequest(r.funcname, r);
      let answer;
      if (r.funcname === 'modifyProfileEx') {
        const content = parseXmlFragment(r.subTreeString);
        if (r.xpath === '/conf') doc = { ...doc, children: content };
        else {
          const index = /@index='([^']*)'/.exec(r.xpath)[1];
          const mode = modesNode().children.find((m) => m.attrs.index === index);
          if (mode) mode.children = content;
        }
        answer = [true, 'modifyProfileEx success'];
      } else if (r.funcname === 'modifyReplaceProfileEx') {
        const index = /@index='([^']*)'/.exec(r.desXpath)[1];
        const mode = modesNode().children.find((m) => m.attrs.index === index);
        if (exports[r.srcFilePath] === undefined) answer = [false, 'modifyReplaceProfile load xml file failed!'];
        else {
          if (mode) mode.children = structuredClone(parseXml(exports[r.srcFilePath]).children);
          answer = [true, 'modifyReplaceProfile success'];
        }
      } else if (r.funcname === 'queryProfile') answer = [true, serialize(doc)];
      else if (r.funcname === 'savexml') answer = [true, 'save xml success'];
      if (answer) setImmediate(() => (answer[0] ? onSuccess(answer[1]) : onFailure(0, answer[1])));
      return win.requests.length;
    },
    cefQueryCancel() {},
  };
  return win;
}

test('an imported mode keeps the file settings even when a change is flushed meanwhile', async () => {
  const model = profileFromXml(factoryText);
  const exported = profileFromXml(factoryText).modes[0];
  exported.lighting.effect = 4;
  exported.performance.stages[1].dpi = 2450;
  const tm = timers();
  let sync;
  let countDuringImport = null;
  const win = editingNative(factoryText, { '/home/u/fast.pfd': serialize(modeElement(exported)) }, (name) => {
    if (name === 'modifyReplaceProfileEx') {
      // The mouse's stage button changes the active mode while the file is
      // being imported; its flush must not put an empty mode over the import.
      countDuringImport = model.modes.length;
      model.modes[0].performance.activeStage = 3;
      sync.markAll();
      sync.flush();
    }
  });
  sync = new ProfileSync(new Bridge(win, { timers: tm }), () => model, { timers: tm });
  const mode = await sync.importMode('/home/u/fast.pfd', 'fast');
  await sync.chain;
  assert.equal(countDuringImport, 1, 'the model gets the mode only once it is read back');
  assert.deepEqual(model.modes.map((m) => [m.index, m.name]), [['0', 'Default'], ['1', 'fast']]);
  assert.equal(mode.lighting.effect, 4);
  assert.equal(mode.performance.stages[1].dpi, 2450);
  assert.equal(mode.bindingProcess, '');
  const cached = profileFromXml(win.text());
  assert.equal(cached.modes[1].lighting.effect, 4, 'the cache keeps the imported settings');
  assert.equal(cached.modes[0].performance.activeStage, 3, 'and the change made meanwhile');
  assert.deepEqual(win.requests.slice(0, 3), ['modifyProfileEx', 'modifyReplaceProfileEx', 'queryProfile']);
});

test('an export file without mode settings is refused and the model is unchanged', async () => {
  const model = profileFromXml(factoryText);
  const tm = timers();
  const win = editingNative(factoryText, { '/home/u/other.pfd': '<h code="0x41" />' });
  const sync = new ProfileSync(new Bridge(win, { timers: tm }), () => model, { timers: tm });
  await assert.rejects(sync.importMode('/home/u/other.pfd', 'other'), /no mode settings/);
  await assert.rejects(sync.importMode('/home/u/missing.pfd', 'missing'), /load xml file failed/);
  assert.equal(model.modes.length, 1);
  // Sending the model again takes the unfinished mode out of the cache.
  sync.markAll();
  await sync.flush();
  assert.equal(profileFromXml(win.text()).modes.length, 1);
});
