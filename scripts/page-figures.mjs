// Figures of the page: time from starting the program to the page being
// interactive (device read and profile loaded; median of 5 runs), and the
// size of the page's scripts and styles.
// Usage: KELV_PROGRAM_DIR=build/program node scripts/page-figures.mjs
import fs from 'node:fs';
import path from 'node:path';
import { Program, startXvfb } from '../tests/view/harness.mjs';

const runs = Number(process.env.RUNS ?? 5);
const xvfb = await startXvfb();
const times = [];
try {
  for (let i = 0; i < runs; i++) {
    const p = await Program.start({ display: xvfb.display });
    try {
      const readyAt = Number(await p.eval('document.documentElement.dataset.readyAt'));
      const device = await p.eval('window.kelvApp.state.deviceState');
      times.push(readyAt - p.startedAt);
      console.log(`run ${i + 1}: ${readyAt - p.startedAt} ms (mouse ${device})`);
    } finally {
      await p.stop();
    }
  }
} finally {
  xvfb.process.kill();
}
times.sort((a, b) => a - b);
console.log(`start to interactive, median of ${runs}: ${times[Math.floor(times.length / 2)]} ms`);

const view = new URL('../view/', import.meta.url).pathname;
const sizes = { js: 0, css: 0, other: 0 };
const walk = (dir) => {
  for (const e of fs.readdirSync(dir, { withFileTypes: true })) {
    const f = path.join(dir, e.name);
    if (e.isDirectory()) walk(f);
    else if (e.name.endsWith('.js')) sizes.js += fs.statSync(f).size;
    else if (e.name.endsWith('.css')) sizes.css += fs.statSync(f).size;
    else if (e.name !== 'package.json' && e.name !== 'console.html') sizes.other += fs.statSync(f).size;
  }
};
walk(view);
console.log(`page scripts ${sizes.js} bytes, styles ${sizes.css} bytes, html/xml ${sizes.other} bytes (uncompressed, no build step)`);
