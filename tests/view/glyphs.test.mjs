// Every character the page can show must be in a font the set-up script
// installs (DejaVu, WenQuanYi Micro Hei); a character no font has shows as an
// empty box. Checked with fontconfig where it is installed.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

const viewDir = new URL('../../view/', import.meta.url).pathname;

function sources(dir) {
  return fs.readdirSync(dir, { withFileTypes: true }).flatMap((e) => {
    const p = path.join(dir, e.name);
    if (e.isDirectory()) return sources(p);
    return /\.(js|html|css)$/.test(e.name) ? [p] : [];
  });
}

function hasFontconfig() {
  try { execFileSync('fc-list', ['--version'], { stdio: 'ignore' }); return true; } catch { return false; }
}

test('the page uses no character that the installed fonts lack', { skip: !hasFontconfig() && 'no fontconfig' }, () => {
  const chars = new Map(); // code point -> first file using it
  for (const file of sources(viewDir)) {
    const text = fs.readFileSync(file, 'utf8').replace(/\/\/.*$/gm, '');
    for (const ch of text) {
      const cp = ch.codePointAt(0);
      if (cp > 0x7e && !chars.has(cp) && !(cp >= 0xfe00 && cp <= 0xfe0f)) chars.set(cp, path.relative(viewDir, file));
    }
  }
  const missing = [];
  for (const [cp, file] of chars) {
    const families = execFileSync('fc-list', [`:charset=${cp.toString(16)}`, 'family'], { encoding: 'utf8' });
    if (!families.trim()) missing.push(`U+${cp.toString(16).toUpperCase().padStart(4, '0')} ${String.fromCodePoint(cp)} in ${file}`);
  }
  assert.deepEqual(missing, []);
});
