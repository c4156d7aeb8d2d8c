import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { Bridge } from '../../view/js/bridge.js';
import { App } from '../../view/js/app.js';
import { PROFILE_CHANGED_KEY, ProfileSync, announceProfileChange, onOtherPageChange } from '../../view/js/profilesync.js';
import { modeContentXml, modeExportContentXml, modeFromExport, profileFromXml, PROFILE_PATH } from '../../view/js/profile.js';
import { child, el, parseXml, parseXmlFragment, serialize } from '../../view/js/xml.js';
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
    saved: {},
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
      } else if (r.funcname === 'queryProfile') {
        const index = /@index='([^']*)'/.exec(r.xpath)?.[1];
        const node = index === undefined ? doc : modesNode().children.find((m) => m.attrs.index === index);
        answer = [true, node ? serialize(node) : ''];
      } else if (r.funcname === 'saveXmlAs') {
        const index = /@index='([^']*)'/.exec(r.xpath)[1];
        win.saved[r.desFilePath] = serialize(modesNode().children.find((m) => m.attrs.index === index));
        answer = [true, 'saveXmlAs success'];
      }
      else if (r.funcname === 'savexml') answer = [true, 'save xml success'];
      if (answer) setImmediate(() => (answer[0] ? onSuccess(answer[1]) : onFailure(0, answer[1])));
      return win.requests.length;
    },
    cefQueryCancel() {},
  };
  return win;
}

test('an export file read through the cache (a program without queryExportFile) leaves the cache as the model', async () => {
  const model = profileFromXml(factoryText);
  const exported = profileFromXml(factoryText).modes[0];
  exported.lighting.effect = 4;
  exported.performance.stages[1].dpi = 2450;
  const file = serialize(el('mode', { index: '0', name: 'fast' }, [...parseXmlFragment(modeContentXml(exported)),
    el('macros', {}, [el('macro', { slot: 3, name: 'Reload', repeat: 0, count: 1 }, [el('step', { kind: 'down', code: 19, ext: 0 })])])]));
  const tm = timers();
  let sync;
  let countDuringImport = null;
  const win = editingNative(factoryText, { '/home/u/fast.pfd': file }, (name) => {
    if (name === 'modifyReplaceProfileEx') {
      // The mouse's stage button changes the active mode while the file is
      // being read; that change reaches the cache, the scratch mode does not stay.
      countDuringImport = model.modes.length;
      model.modes[0].performance.activeStage = 3;
      sync.markAll();
      sync.flush();
    }
  });
  sync = new ProfileSync(new Bridge(win, { timers: tm }), () => model, { timers: tm });
  const node = await sync.readExportThroughCache('/home/u/fast.pfd');
  await sync.chain;
  assert.equal(countDuringImport, 1, 'the model never gets the scratch mode');
  const read = modeFromExport(node);
  assert.equal(read.name, '', 'the stored name does not come through the cache');
  assert.equal(read.lighting.effect, 4);
  assert.equal(read.performance.stages[1].dpi, 2450);
  assert.deepEqual(read.macros.map((m) => [m.slot, m.name, m.steps.length]), [[3, 'Reload', 1]]);
  const cached = profileFromXml(win.text());
  assert.equal(cached.modes.length, 1, 'the scratch mode is gone from the cache');
  assert.equal(cached.modes[0].performance.activeStage, 3, 'the change made meanwhile is there');
  assert.deepEqual(win.requests.slice(0, 3), ['modifyProfileEx', 'modifyReplaceProfileEx', 'queryProfile']);
  await assert.rejects(sync.readExportThroughCache('/home/u/missing.pfd'), /load xml file failed/);
  assert.equal(profileFromXml(win.text()).modes.length, 1);
});

test('an exported mode carries the macros its buttons run; the cache gets the mode back without them', async () => {
  const model = profileFromXml(factoryText);
  const key = (kind) => ({ kind, scan: 30, ext: 0 });
  model.macros.push({ slot: 2, name: 'Used', repeat: 0, count: 1, steps: [key('down'), { kind: 'delay', ms: 20 }, key('up')] });
  model.macros.push({ slot: 5, name: 'Unused', repeat: 0, count: 1, steps: [key('down'), key('up')] });
  model.modes[0].buttons[3] = { type: 5, p1: 2, p2: 0, p3: 0 };
  const tm = timers();
  const win = editingNative(factoryText, {});
  const sync = new ProfileSync(new Bridge(win, { timers: tm }), () => model, { timers: tm });
  await sync.exportMode('/home/u/m.pfd', '0', modeExportContentXml(model, model.modes[0]));
  const read = modeFromExport(parseXml(win.saved['/home/u/m.pfd']));
  assert.equal(read.name, 'Default');
  assert.deepEqual(read.macros.map((m) => [m.slot, m.name, m.steps]), [[2, 'Used', model.macros[0].steps]]);
  assert.deepEqual(read.buttons[3], { type: 5, p1: 2, p2: 0, p3: 0 });
  const mode = child(child(child(parseXml(win.text()), 'modeSetting'), 'modes'), 'mode');
  assert.equal(child(mode, 'macros'), null, 'the profile keeps its macros in one place');
  assert.deepEqual(win.requests, ['modifyProfileEx', 'saveXmlAs', 'modifyProfileEx']);
});

test('a page that sent changes says so to the other pages, once per batch and after a partial send', async () => {
  const win = editingNative(factoryText, {});
  const model = profileFromXml(factoryText);
  const tm = timers();
  let sent = 0;
  const sync = new ProfileSync(new Bridge(win, { timers: tm }), () => model, { timers: tm, onSent: () => { sent += 1; } });
  await sync.flush();
  sync.markMode('9'); // a mode deleted meanwhile
  await sync.flush();
  assert.equal(sent, 0, 'nothing sent, nothing said');
  model.modes[0].name = 'Evening';
  sync.markAll();
  await sync.flush();
  assert.equal(sent, 1);
  // Two modes marked, the second refused: the first reached the cache.
  model.modes.push(structuredClone(model.modes[0]));
  model.modes[1].index = '1';
  sync.markMode('0');
  sync.markMode('1');
  let edits = 0;
  const refusing = { ...win, cefQuery: (q) => (JSON.parse(q.request).funcname === 'modifyProfileEx' && ++edits === 2 ? (queueMicrotask(() => q.onFailure(0, 'modifyProfileEx failed')), 0) : win.cefQuery(q)) };
  sync.bridge = new Bridge(refusing, { timers: tm });
  await assert.rejects(sync.flush());
  assert.equal(sent, 2);

  // Through the browser's storage: a new value each time, heard by the others.
  const items = [];
  const storage = { setItem: (k, v) => items.push([k, v]) };
  announceProfileChange(storage);
  announceProfileChange(storage);
  assert.deepEqual(items.map(([k]) => k), [PROFILE_CHANGED_KEY, PROFILE_CHANGED_KEY]);
  assert.notEqual(items[0][1], items[1][1]);
  announceProfileChange({ setItem() { throw new Error('quota'); } });
  const target = new EventTarget();
  let heard = 0;
  onOtherPageChange(target, () => { heard += 1; });
  target.dispatchEvent(Object.assign(new Event('storage'), { key: 'other' }));
  target.dispatchEvent(Object.assign(new Event('storage'), { key: PROFILE_CHANGED_KEY }));
  assert.equal(heard, 1);
});

// The main window's page and the popup's over one native cache.
test('a page told of another page\'s change sends its own first, then reads the profile again', async () => {
  const win = editingNative(factoryText, {});
  const page = async () => {
    const app = new App(win);
    app.sync.timers = timers();
    await app.modes.load();
    return app;
  };
  const main = await page();
  const popup = await page();
  await main.modes.add();
  // The popup renames the new mode; the main page meanwhile changed mode 0.
  await popup.modes.follow();
  popup.modes.rename('1', 'Popup name');
  await popup.sync.flush();
  main.state.profile.modes[0].performance.debounce = 9;
  main.sync.markMode('0');
  const reads = () => win.requests.filter((r) => r === 'queryProfile').length;
  const before = reads();
  await Promise.all([main.modes.follow(), main.modes.follow(), main.modes.follow()]);
  assert.equal(reads() - before, 1, 'notices in a row give one read');
  assert.equal(main.state.profile.modes[1].name, 'Popup name');
  assert.equal(main.state.profile.modes[0].performance.debounce, 9);
  // The main page's next change of the whole document keeps both.
  main.modes.rename('0', 'Main name');
  await main.sync.flush();
  const cached = profileFromXml(win.text());
  assert.deepEqual(cached.modes.map((m) => m.name), ['Main name', 'Popup name']);
  assert.equal(cached.modes[0].performance.debounce, 9);
});

// Before the hidden page is discarded the native side asks whether it may
// rest: not while an edit waits for its moment (sent at the question) or is
// on its way; a refused edit, marked but on no way, does not hold it.
test('a page may rest only once no edit waits or travels', async () => {
  const win = editingNative(factoryText, {});
  const app = new App(win);
  const tm = timers();
  app.sync.timers = tm;
  await app.modes.load();
  assert.equal(app.readyToRest(), true);
  app.state.profile.modes[0].performance.debounce = 7;
  app.sync.markMode('0');
  assert.equal(app.readyToRest(), false, 'an edit held back');
  assert.equal(tm.count, 0, 'the question sends it at once');
  assert.equal(app.readyToRest(), false, 'an edit on its way');
  await app.sync.chain;
  assert.equal(app.readyToRest(), true);
  assert.match(win.text(), /debounce="7"/);
  // The native side refuses the next one: it stays marked, and nothing is on its way.
  win.cefQuery = ({ onFailure }) => { setImmediate(() => onFailure(0, 'refused')); return 1; };
  app.sync.markMode('0');
  app.readyToRest();
  await app.sync.chain.catch(() => {});
  assert.equal(app.sync.dirty, true);
  assert.equal(app.readyToRest(), true);
});
