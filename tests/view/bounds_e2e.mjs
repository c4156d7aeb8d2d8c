// Page requests that once brought the program down, and a mode file nested
// deeper than any profile may be, in the real program (Qt WebEngine under
// Xvfb, see harness.mjs): each is refused or kept within the screen, and the
// program goes on answering. Run by ctest as view_bounds.
import { test, before, after, beforeEach } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { Program } from './harness.mjs';

let p;
let gone = false;
before(async () => {
  p = await Program.start({ width: 800, height: 600 });
  const closed = p.cdp.ws.onclose;
  p.cdp.ws.onclose = () => { gone = true; closed(); };
});
after(async () => { await p?.stop(); });
// A program (or browser) that went away fails the tests left at once instead
// of leaving them waiting on a closed connection.
beforeEach(() => assert.ok(!gone && p.proc.exitCode === null, `the program went away:\n${p.log}`));
const limits = { timeout: 120000 };

const call = (funcname, members) => p.eval(`window.kelvApp.bridge.call(${JSON.stringify(funcname)}, ${members}, { timeoutMs: 20000 })
  .then((text) => 'ok: ' + text, (e) => 'failed: ' + e.message)`);
const profileInCache = () => call('queryProfile', "{ filePath: 'view/xml/configuration.xml', xpath: '/conf' }");

async function stillAnswering() {
  assert.equal(p.proc.exitCode, null, `the program ended:\n${p.log}`);
  assert.match(await call('getConf', '{}'), /^ok: \[\{/);
}

test('a maximised window asked for 2147483647 x 2147483647 pixels stays on the screen', limits, async () => {
  await p.eval("(document.querySelector('#win-max').click(), true)");
  await p.until('window.innerWidth === screen.availWidth && window.innerHeight === screen.availHeight');
  assert.equal(await p.eval("window.kelvApp.bridge.request('moveWindow:0,0,2147483647,2147483647')"), '');
  await stillAnswering();
  assert.deepEqual(await p.eval('[window.innerWidth, window.innerHeight]'), await p.eval('[screen.availWidth, screen.availHeight]'));
  // Moved as far as the numbers go: the window stops at the screen's edge,
  // no smaller than its minimum size.
  assert.equal(await p.eval("window.kelvApp.bridge.request('moveWindow:2147483647,2147483647,-5,-5')"), '');
  await p.until('window.innerWidth === 800 && window.innerHeight === 600');
  await p.until('window.screenX + 800 === screen.availLeft + screen.availWidth && window.screenY + 600 === screen.availTop + screen.availHeight');
  await stillAnswering();
});

test('a fragment nested 200,000 levels deep is refused and the profile kept', limits, async () => {
  const before = await profileInCache();
  assert.match(before, /^ok: <conf>/);
  for (const fragment of ["'<a>'.repeat(200000)", "'<a>'.repeat(200000) + '</a>'.repeat(200000)"]) {
    assert.equal(await call('modifyProfileEx', `{ filePath: 'view/xml/configuration.xml', xpath: '/conf', subTreeString: ${fragment} }`),
      'failed: modifyProfileEx load xml file failed!');
  }
  assert.equal(await profileInCache(), before);
  await stillAnswering();
});

test('a mode file with a node nested deeper than any profile is refused on import', limits, async () => {
  const modes = await p.eval('window.kelvApp.state.profile.modes.length');
  const xml = `<?xml version="1.0"?>\n<mode index="0" name="deep"><performance>${'<a>'.repeat(300)}${'</a>'.repeat(300)}</performance></mode>\n`;
  const payload = Buffer.from(Buffer.from(xml, 'utf8').toString('base64'), 'latin1');
  const header = Buffer.alloc(8);
  header.writeUInt32BE(0x0a0b0c0d, 0);
  header.writeUInt32BE(payload.length, 4);
  const file = path.join(p.home, 'Documents', 'deep.pfd');
  fs.writeFileSync(file, Buffer.concat([header, payload]));
  await p.eval("(location.hash = '#modes', true)");
  await p.until(`!!document.querySelector('[data-key="modes:import"]')`);
  await p.eval(`(document.querySelector('[data-key="modes:import"]').click(), true)`);
  await p.answerFileDialog('OpenFileDialog', file);
  await p.until("document.querySelector('.alert.error')?.textContent.includes('The file could not be imported.')");
  assert.equal(await p.eval('window.kelvApp.state.profile.modes.length'), modes);
  await stillAnswering();
});
