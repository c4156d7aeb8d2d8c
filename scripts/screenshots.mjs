// Screenshots of every screen of the page in the real program, at 800 x 600
// and 1920 x 1080, in English (and the main screens in Chinese), with the
// simulated mouse. Usage: node scripts/screenshots.mjs [out dir]
import fs from 'node:fs';
import path from 'node:path';
import { Program, sleep } from '../tests/view/harness.mjs';

const out = path.resolve(process.argv[2] ?? process.env.KELV_SHOTS_DIR ?? '/work/notes/shots');
fs.mkdirSync(out, { recursive: true });

async function settle(p) {
  await p.until("document.documentElement.dataset.ready === '1'");
  await p.eval('new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)))');
  await sleep(250);
}

async function shot(p, name) {
  await settle(p);
  const file = path.join(out, `${name}.png`);
  fs.writeFileSync(file, await p.cdp.screenshot());
  console.log(file);
}

const go = (p, screen) => p.eval(`(location.hash = '#${screen}', true)`);

async function run(size, lang) {
  const [w, h] = size;
  const p = await Program.start({ width: 800, height: 600, language: lang });
  try {
    if (w !== 800) {
      await p.eval(`window.kelvApp.bridge.request('moveWindow:0,0,${w},${h}')`);
      await p.until(`window.innerWidth === ${w} && window.innerHeight === ${h}`);
    }
    const tag = `${w}x${h}${lang === 'en' ? '' : `-${lang}`}`;
    await p.until("window.kelvApp.state.deviceState === 'ready'");
    await go(p, 'performance');
    await shot(p, `${tag}-performance`);
    await go(p, 'buttons');
    await p.eval(`(document.querySelector('[data-key="btn:4"]').click(), true)`);
    await shot(p, `${tag}-buttons`);
    // A macro with a few steps for the macro screen.
    await go(p, 'macros');
    await p.eval(`(async () => {
      const app = window.kelvApp;
      app.macros.create(0);
      await app.macros.edit(0, (m) => { m.name = 'Reload'; m.steps = [
        { kind: 'down', scan: 0x13, ext: 0 }, { kind: 'delay', ms: 60 }, { kind: 'up', scan: 0x13, ext: 0 }, { kind: 'delay', ms: 250 },
        { kind: 'down', scan: 0x1d, ext: 0 }, { kind: 'delay', ms: 30 }, { kind: 'down', scan: 0x2e, ext: 0 }, { kind: 'delay', ms: 45 },
        { kind: 'up', scan: 0x2e, ext: 0 }, { kind: 'delay', ms: 20 }, { kind: 'up', scan: 0x1d, ext: 0 }]; }, { immediate: true });
      return true; })()`);
    await p.until("window.kelvApp.state.macroStatus[0] === 'stored'");
    await shot(p, `${tag}-macros`);
    await go(p, 'buttons');
    await p.eval(`(async () => { const app = window.kelvApp; app.state.selectedButton = 3;
      await app.modes.change((m) => { m.buttons[3] = { type: 5, p1: 0, p2: 3, p3: 5 }; }, [7]); return true; })()`);
    await shot(p, `${tag}-buttons-macro`);
    await go(p, 'lighting');
    await shot(p, `${tag}-lighting`);
    await go(p, 'modes');
    await p.eval(`(async () => { const app = window.kelvApp; const i = await app.modes.add();
      app.modes.rename(i, 'Shooter'); const m = app.state.profile.modes.find((x) => x.index === i);
      m.bindingProcess = '/usr/games/shooter'; app.update(); return true; })()`);
    await shot(p, `${tag}-modes`);
    await go(p, 'system');
    await p.eval("window.kelvApp.settings.setSystem('pointerSpeed', 12)");
    await shot(p, `${tag}-system`);
    await go(p, 'settings');
    await shot(p, `${tag}-settings`);
    await go(p, 'modes');
    await p.eval(`(document.querySelector('[data-key="modes:reset"]').click(), true)`);
    await shot(p, `${tag}-reset-dialog`);
    await p.eval(`(document.querySelector('.dialog .btn:not(.danger)').click(), true)`);
    p.dcsim('unplug');
    await p.until("window.kelvApp.state.deviceState === 'none'");
    await go(p, 'performance');
    await shot(p, `${tag}-no-mouse`);
  } finally {
    await p.stop();
  }
}

const only = process.env.KELV_SHOTS_ONLY;
for (const [size, lang] of [[[800, 600], 'en'], [[1920, 1080], 'en'], [[800, 600], 'zh'], [[1920, 1080], 'zh']]) {
  if (only && !`${size.join('x')}-${lang}`.includes(only)) continue;
  await run(size, lang);
}
