import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, readdirSync } from 'node:fs';
import { EN } from '../../view/js/i18n/en.js';
import { ZH } from '../../view/js/i18n/zh.js';
import { t, setLanguage, normaliseLanguage } from '../../view/js/i18n.js';
import { BUTTON_NAMES, EFFECTS, MOUSE_FUNCTIONS, DPI_FUNCTIONS, MEDIA_FUNCTIONS, PROFILE_FUNCTIONS } from '../../view/js/devicemap.js';

const viewDir = new URL('../../view/', import.meta.url);

test('English and Chinese have the same keys and no empty or untranslated texts', () => {
  assert.deepEqual(Object.keys(ZH).sort(), Object.keys(EN).sort());
  for (const [k, v] of Object.entries(ZH)) {
    assert.ok(v.trim(), k);
    // Placeholders survive translation.
    assert.deepEqual((v.match(/\{\w+\}/g) ?? []).sort(), (EN[k].match(/\{\w+\}/g) ?? []).sort(), k);
  }
  const same = Object.keys(EN).filter((k) => EN[k] === ZH[k] && /[a-z]{4}/.test(EN[k]));
  assert.deepEqual(same, [], 'texts left in English in the Chinese table');
});

test('every text the page asks for exists', () => {
  const sources = [];
  const walk = (dir) => {
    for (const e of readdirSync(dir, { withFileTypes: true })) {
      if (e.isDirectory()) walk(new URL(`${e.name}/`, dir));
      else if (e.name.endsWith('.js') || e.name.endsWith('.html')) sources.push(readFileSync(new URL(e.name, dir), 'utf8'));
    }
  };
  walk(viewDir);
  const used = new Set();
  for (const src of sources) {
    for (const m of src.matchAll(/\bt\('([\w.]+)'/g)) used.add(m[1]);
    for (const m of src.matchAll(/(?:error|info)\('([\w.]+)'/g)) used.add(m[1]);
    for (const m of src.matchAll(/new DeviceError\('([\w.]+)'/g)) used.add(m[1]);
    for (const m of src.matchAll(/data-i18n(?:-aria)?="([\w.]+)"/g)) used.add(m[1]);
    for (const m of src.matchAll(/'(macro\.error\.\w+)'/g)) used.add(m[1]);
  }
  // Keys built from parts.
  for (const n of BUTTON_NAMES) used.add(n);
  for (const e of EFFECTS) { used.add(`effect.${e}`); used.add(`effect.${e}.hint`); }
  for (const v of MOUSE_FUNCTIONS) used.add(`mouseFn.${v}`);
  for (const v of DPI_FUNCTIONS) used.add(`dpiFn.${v}`);
  for (const v of PROFILE_FUNCTIONS) used.add(`profileFn.${v}`);
  for (const v of MEDIA_FUNCTIONS) used.add(`mediaFn.${v}`);
  for (const v of [0, 1, 2, 3, 4, 5, 6]) used.add(`assign.type.${v}`);
  for (const v of [0, 1, 2, 3]) used.add(`repeat.${v}`);
  for (const s of ['saved', 'stored', 'pending', 'failed']) used.add(`save.${s}`);
  for (const s of ['down', 'up', 'delay']) used.add(`macros.kind.${s}`);
  for (const s of ['performance', 'buttons', 'macros', 'lighting', 'modes', 'system', 'settings']) used.add(`nav.${s}`);
  const missing = [...used].filter((k) => !(k in EN) && !k.endsWith('.help'));
  assert.deepEqual(missing, []);
  assert.ok(used.size > 150);
  // Every error has help text saying what to do.
  for (const k of Object.keys(EN).filter((k) => k.startsWith('error.') && !k.endsWith('.help'))) assert.ok(`${k}.help` in EN, k);
});

test('translation with placeholders and language choice', () => {
  setLanguage('zh');
  assert.equal(t('perf.stage', { n: 3 }), '档位 3');
  setLanguage('en');
  assert.equal(t('perf.stage', { n: 3 }), 'Stage 3');
  assert.equal(t('no.such.key'), 'no.such.key');
  assert.equal(t('no.such.key', {}, ''), '');
  assert.equal(normaliseLanguage('zh'), 'zh');
  assert.equal(normaliseLanguage('zh-CN'), 'zh');
  assert.equal(normaliseLanguage('de-DE'), 'en');
  assert.equal(normaliseLanguage(undefined), 'en');
});
