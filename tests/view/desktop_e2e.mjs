// The program on the user's own desktop, in the real program under Xvfb, as a
// user meets it: the maximise button on a desktop with two screens. Run by
// ctest as view_desktop.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { Program, sleep } from './harness.mjs';

// The program's window as the X server has it: [x, y, width, height].
function windowGeometry(p) {
  const id = p.xdotool('search', '--onlyvisible', '--pid', String(p.proc.pid)).trim().split('\n')[0];
  const shell = p.xdotool('getwindowgeometry', '--shell', id);
  const value = (name) => Number(new RegExp(`${name}=(-?\\d+)`).exec(shell)[1]);
  return [value('X'), value('Y'), value('WIDTH'), value('HEIGHT')];
}

async function untilGeometry(p, want) {
  let got;
  for (let i = 0; i < 50; i++) {
    got = windowGeometry(p);
    if (JSON.stringify(got) === JSON.stringify(want)) return got;
    await sleep(100);
  }
  return got;
}

// Two screens side by side, the window on the right one: the maximise button
// fills the right one (it used to fill the primary, left one), and restore
// brings the window back where it was.
test('maximise fills the screen the window is on', async () => {
  const p = await Program.start({ width: 800, height: 600, monitors: ['960x1080+0+0', '960x1080+960+0'] });
  try {
    await p.eval(`window.cefQuery({ request: 'moveWindow:0,0,800,600' }), true`);
    const start = windowGeometry(p);
    const dx = 1060 - start[0];
    const dy = 100 - start[1];
    await p.eval(`window.cefQuery({ request: 'moveWindow:${dx},${dy},800,600' }), true`);
    assert.deepEqual(await untilGeometry(p, [1060, 100, 800, 600]), [1060, 100, 800, 600]);
    await p.click('#win-max');
    assert.deepEqual(await untilGeometry(p, [960, 0, 960, 1080]), [960, 0, 960, 1080], 'the right screen');
    await p.click('#win-max');
    assert.deepEqual(await untilGeometry(p, [1060, 100, 800, 600]), [1060, 100, 800, 600], 'back where it was');
    // On the left screen it fills the left one.
    await p.eval(`window.cefQuery({ request: 'moveWindow:-1000,0,800,600' }), true`);
    assert.deepEqual(await untilGeometry(p, [60, 100, 800, 600]), [60, 100, 800, 600]);
    await p.click('#win-max');
    assert.deepEqual(await untilGeometry(p, [0, 0, 960, 1080]), [0, 0, 960, 1080], 'the left screen');
  } finally {
    await p.stop();
  }
});
