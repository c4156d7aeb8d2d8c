// Screenshots of every screen state of the page in the real program, with
// the simulated mouse: each language at 800 x 600, English also at
// 1920 x 1080. Usage: node scripts/screenshots.mjs [out dir]
// KELV_SHOTS_ONLY=<part of the tag, e.g. "800x600-de-DE"> limits the run.
import fs from 'node:fs';
import path from 'node:path';
import { Program } from '../tests/view/harness.mjs';
import { STATES, prepare, setLanguage, show } from '../tests/view/screens.mjs';
import { LANGUAGES } from '../view/js/i18n.js';

const out = path.resolve(process.argv[2] ?? process.env.KELV_SHOTS_DIR ?? '/work/notes/shots');
fs.mkdirSync(out, { recursive: true });
const only = process.env.KELV_SHOTS_ONLY;

async function run([w, h], languages) {
  const p = await Program.start({ width: 800, height: 600 });
  try {
    if (w !== 800) {
      await p.eval(`window.kelvApp.bridge.request('moveWindow:0,0,${w},${h}')`);
      await p.until(`window.innerWidth === ${w} && window.innerHeight === ${h}`);
    }
    await prepare(p);
    for (const lang of languages) {
      const tag = `${w}x${h}-${lang}`;
      if (only && !tag.includes(only)) continue;
      await setLanguage(p, lang);
      for (const state of STATES) {
        await show(p, state);
        const file = path.join(out, `${tag}-${state.name}.png`);
        fs.writeFileSync(file, await p.cdp.screenshot());
        console.log(file);
        if (state.leave) await state.leave(p);
      }
    }
  } finally {
    await p.stop();
  }
}

await run([800, 600], LANGUAGES.map((l) => l.code));
await run([1920, 1080], ['en']);
