import { test } from 'node:test';
import assert from 'node:assert/strict';
import { copyFileSync, cpSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { EN } from '../../view/js/i18n/en.js';
import { BUILTIN_NAMES } from '../../view/js/i18n/builtin.js';
import { comboLabel, keyName, namedKeys, scanFromCode } from '../../view/js/keys.js';
import { t, setLanguage, normaliseLanguage, formatNumber, formatUnit, unitSymbol, sentences, LANGUAGES, languageTable, currentLanguage } from '../../view/js/i18n.js';
import * as numbers from '../../view/js/numbers.js';
import { makeNative } from './fake_native.mjs';
import { DELAY_CHOICES } from '../../view/js/macro.js';
import { BUTTON_NAMES, EFFECTS, MOUSE_FUNCTIONS, DPI_FUNCTIONS, MEDIA_FUNCTIONS, PROFILE_FUNCTIONS } from '../../view/js/devicemap.js';

const viewDir = new URL('../../view/', import.meta.url);

// The texts of one entry: a string, or one text per plural category.
const textsOf = (entry) => (typeof entry === 'string' ? [entry] : Object.entries(entry).filter(([k]) => k !== 'plural').map(([, v]) => v));
const placeholders = (s) => (s.match(/\{\w+\}/g) ?? []).sort();

// Words that are the same in the language as in English.
const SAME_WORD = {
  'de-DE': ['device.firmware', 'perf.sensorTitle', 'perf.motionSync', 'settings.updates'],
  ru: ['perf.motionSync'],
};

for (const lang of LANGUAGES.filter((l) => l.code !== 'en')) {
  test(`${lang.name} (${lang.code}) has exactly the keys of English, every text translated`, async () => {
    const table = await languageTable(lang.code);
    assert.deepEqual(Object.keys(table).filter((k) => !(k in EN)), [], 'keys English does not have');
    assert.deepEqual(Object.keys(EN).filter((k) => !(k in table)), [], 'keys missing');
    for (const [k, name] of Object.entries(BUILTIN_NAMES[lang.code])) assert.equal(table[k], name, `${k}: the built-in name`);
    const categories = new Intl.PluralRules(lang.locale).resolvedOptions().pluralCategories.sort();
    for (const [k, entry] of Object.entries(table)) {
      assert.equal(typeof entry, typeof EN[k], `${k}: a plural text where English has one (or the other way)`);
      if (typeof entry === 'object') {
        assert.equal(entry.plural, EN[k].plural, `${k}: counts the same number`);
        assert.deepEqual(Object.keys(entry).filter((c) => c !== 'plural').sort(), categories, `${k}: the plural forms of ${lang.locale}`);
      }
      for (const text of textsOf(entry)) {
        assert.ok(text.trim(), k);
        // Placeholders survive translation.
        assert.deepEqual(placeholders(text), placeholders(textsOf(EN[k]).at(-1)), k);
      }
    }
    // Long numbers are placeholders, written in the language's number format.
    assert.deepEqual(Object.entries(table).filter(([, e]) => textsOf(e).some((text) => /\d{4}/.test(text))).map(([k]) => k), [],
      'numbers written into texts');
    // Key names may stay as printed on the key caps; placeholders are no words.
    const words = (text) => text.replace(/\{\w+\}/g, '');
    const same = Object.keys(EN).filter((k) => !k.startsWith('key.') && typeof EN[k] === 'string' && EN[k] === table[k] && /[a-z]{4}/.test(words(EN[k])));
    assert.deepEqual(same.filter((k) => !(SAME_WORD[lang.code] ?? []).includes(k)), [], 'texts left in English');
  });
}

// doc/glossary/<code>.md: rows of term | use | not | why, forms in backticks,
// "…" standing for any word ending.
const GLOSSARY_TERMS = ['DPI', 'polling rate', 'lift-off distance', 'debounce', 'macro', 'profile', 'mode', 'firmware', 'update', 'desktop', 'tray'];
const formsOf = (cell = '') => [...cell.matchAll(/`([^`]+)`/g)].map((m) => m[1]);
// Lower-case forms are found in any case, forms with capitals as written.
const formPattern = (form) => new RegExp(form.split('…').map((part) => part.replace(/[.*+?^${}()|[\]\\]/g, '\\$&')).join('\\p{L}*'),
  /\p{Lu}/u.test(form) ? 'gu' : 'giu');

function readGlossary(code) {
  const rows = [];
  let columns = null;
  for (const line of readFileSync(new URL(`../../doc/glossary/${code}.md`, import.meta.url), 'utf8').split('\n')) {
    if (!line.trim().startsWith('|')) { columns = null; continue; }
    const cells = line.trim().split('|').slice(1, -1).map((c) => c.trim());
    if (!columns) { columns = cells.map((c) => c.toLowerCase()); continue; }
    if (cells.every((c) => /^:?-+:?$/.test(c))) continue;
    const cell = (name) => cells[columns.indexOf(name)];
    rows.push({ term: cell('term'), use: formsOf(cell('use')), not: formsOf(cell('not')), why: cell('why') ?? '' });
  }
  return rows;
}

// Where a text uses a form the glossary rejects (other than inside a form it uses).
function glossaryViolations(rows, texts) {
  const uses = rows.flatMap((r) => r.use);
  const checks = rows.flatMap((row) => row.not.map((form) => ({
    row, form, pattern: formPattern(form),
    masks: uses.filter((u) => formPattern(form).test(u.replaceAll('…', ''))).map(formPattern),
  })));
  const found = [];
  for (const [key, text] of texts) {
    for (const { row, form, pattern, masks } of checks) {
      const rest = masks.reduce((t, mask) => t.replace(mask, '\u0000'), text);
      pattern.lastIndex = 0;
      if (pattern.test(rest)) found.push(`${key}: "${form}" (${row.term}: use ${row.use.join(', ')})`);
    }
  }
  return found;
}

// One term has one form per language: a row names one form in use, unless it
// marks its alternates ("alternates:" and where each is used). Any second
// form goes into the rejected ones, where the check above finds it in a text.
function termsWithTwoForms(rows) {
  return rows.filter((r) => r.use.length > 1 && !/^alternates:/i.test(r.why)).map((r) => `${r.term}: ${r.use.join(', ')}`);
}

test('a term has one form in use, or its alternates are marked', () => {
  assert.deepEqual(termsWithTwoForms([
    { term: 'DPI button', use: ['DPI 键', 'DPI 按键'], not: [], why: '' },
    { term: 'mode', use: ['Modus', 'Modi'], not: [], why: 'alternates: singular and plural' },
    { term: 'tray', use: ['托盘'], not: [], why: '' },
  ]), ['DPI button: DPI 键, DPI 按键']);
  // The second form, rejected, is found in a text.
  assert.deepEqual(glossaryViolations([{ term: 'DPI button', use: ['DPI 键'], not: ['DPI 按键'] }],
    [['a', '用 DPI 按键切换'], ['b', '鼠标上的 DPI 键']]), ['a: "DPI 按键" (DPI button: use DPI 键)']);
});

for (const lang of LANGUAGES) {
  test(`${lang.name} (${lang.code}) has one form for each term of its glossary`, () => {
    assert.deepEqual(termsWithTwoForms(readGlossary(lang.code)), []);
  });
  test(`${lang.name} (${lang.code}) uses the words of its glossary`, async () => {
    const rows = readGlossary(lang.code);
    for (const term of GLOSSARY_TERMS) {
      assert.ok(rows.some((r) => r.term.startsWith(term) && r.use.length > 0), `doc/glossary/${lang.code}.md names "${term}"`);
    }
    const texts = Object.entries(await languageTable(lang.code)).flatMap(([k, entry]) => textsOf(entry).map((text) => [k, text]));
    assert.deepEqual(glossaryViolations(rows, texts), []);
  });
}

test('a rejected form is found in any ending and case, but not inside a form in use', () => {
  const rows = [
    { term: 'desktop', use: ['систем…', 'сред… рабочего стола'], not: ['рабоч… стол…'] },
    { term: 'apply', use: ['套用'], not: ['應用'] },
    { term: 'program', use: ['程式', '應用程式'], not: ['程序'] },
    { term: 'lift-off distance', use: ['lift-off distance'], not: ['LOD'] },
  ];
  assert.deepEqual(glossaryViolations(rows, [
    ['a', 'Рабочий стол не принял изменение.'], ['b', 'в настройках рабочих столов'], ['c', 'в среде рабочего стола'],
    ['d', '已應用'], ['e', '此應用程式'], ['f', 'LOD'], ['g', 'the melody'],
  ]), [
    'a: "рабоч… стол…" (desktop: use систем…, сред… рабочего стола)',
    'b: "рабоч… стол…" (desktop: use систем…, сред… рабочего стола)',
    'd: "應用" (apply: use 套用)',
    'f: "LOD" (lift-off distance: use lift-off distance)',
  ]);
});

test('the language list names each language in its own language, with the values the tray knows', () => {
  assert.deepEqual(LANGUAGES.map((l) => [l.code, l.name]), [
    ['en', 'English'], ['zh', '简体中文'], ['zh-TW', '繁體中文'], ['de-DE', 'Deutsch'], ['ja', '日本語'], ['ru', 'Русский'], ['ko', '한국어']]);
  assert.deepEqual(Object.keys(BUILTIN_NAMES), LANGUAGES.map((l) => l.code), 'the built-in names of every language');
  for (const [value, code] of [['zh', 'zh'], ['zh-CN', 'zh'], ['zh-TW', 'zh-TW'], ['zh-HK', 'zh-TW'], ['de-DE', 'de-DE'],
    ['ja', 'ja'], ['ru', 'ru'], ['ko', 'ko'], ['de', 'en'], ['en-US', 'en'], ['', 'en'], [undefined, 'en']]) {
    assert.equal(normaliseLanguage(value), code, String(value));
  }
});

test('plurals and numbers follow the language', async () => {
  await setLanguage('ru');
  assert.equal(t('system.lines', { n: 1 }), '1 строка');
  assert.equal(t('system.lines', { n: 3 }), '3 строки');
  assert.equal(t('system.lines', { n: 11 }), '11 строк');
  assert.equal(t('system.lines', { n: 21 }), '21 строка');
  assert.match(formatUnit(1500, 'millisecond'), /^1\s500 мс$/u);
  await setLanguage('de-DE');
  assert.equal(t('system.lines', { n: 1 }), '1 Zeile');
  assert.match(t('macros.summary', { steps: 2, events: 1200, max: 1400, time: formatUnit(12500, 'millisecond') }), /^2 Schritte, 1\.200 von 1\.400 .*12\.500 ms$/);
  await setLanguage('en');
  assert.equal(t('macros.deleteUsed', { n: 1 }), 'Delete this macro? 1 button runs it; it goes back to its default action.');
  assert.equal(t('macros.summary', { steps: 1, events: 2, max: 1400, time: '60 ms' }), '1 step, 2 of 1,400 memory events, 60 ms');
  await setLanguage('ja');
  assert.equal(t('system.lines', { n: 1 }), '1 行');
  assert.equal(keyName(0x1d, 0), '左Ctrl');
  await setLanguage('de-DE');
  assert.equal(comboLabel(1 | 2, 0x53, 1), 'Strg + Umschalt + Entf');
  assert.equal(keyName(0x38, 1), 'Alt rechts');
  await setLanguage('en');
  assert.equal(comboLabel(1, 0x1d, 1), 'Ctrl + Right Ctrl');
});

// Keys that a mouse button or a macro may press beyond the common keyboard.
const LAUNCH_AND_ASIAN_KEYS = ['LaunchApp2', 'LaunchMail', 'BrowserHome', 'BrowserBack', 'BrowserForward', 'BrowserRefresh',
  'BrowserStop', 'BrowserSearch', 'BrowserFavorites', 'LaunchApp1', 'MediaSelect', 'Sleep', 'WakeUp', 'Power', 'KanaMode',
  'IntlRo', 'Convert', 'NonConvert', 'IntlYen', 'Lang1', 'Lang2', 'Lang3', 'Lang4', 'NumpadEqual', 'NumpadComma'];

for (const lang of LANGUAGES) {
  test(`${lang.name} (${lang.code}) names every key, the launch, browser, power and Japanese/Korean keys too, each once`, async () => {
    await setLanguage(lang.code);
    try {
      for (const code of LAUNCH_AND_ASIAN_KEYS) {
        const { scan, ext } = scanFromCode(code);
        assert.doesNotMatch(keyName(scan, ext), /^key\.|\(E0\)|^Key 0x/, code);
      }
      // Every key the page names, the JIS keypad comma (no code) included.
      for (const { code, scan, ext } of namedKeys()) assert.doesNotMatch(keyName(scan, ext), /^key\.|\(E0\)|^Key 0x/, code ?? `0x${scan.toString(16)}`);
      const names = namedKeys().map(({ scan, ext }) => keyName(scan, ext));
      assert.deepEqual(names.filter((n, i) => names.indexOf(n) !== i), [], 'two keys with one name');
    } finally {
      await setLanguage('en');
    }
  });
}

test('the launch and Japanese/Korean keys as their keyboards label them', async () => {
  await setLanguage('de-DE');
  assert.equal(comboLabel(1, 0x21, 1), 'Strg + Rechner');
  await setLanguage('ja');
  assert.equal(keyName(0x70, 0), 'カタカナ/ひらがな');
  assert.equal(keyName(0x79, 0), '変換');
  assert.equal(keyName(0xf2, 0), 'かな');
  assert.equal(keyName(0x78, 0), 'カタカナ');
  assert.equal(keyName(0x77, 0), 'ひらがな');
  assert.equal(keyName(0x59, 0), 'テンキー =');
  assert.equal(keyName(0x5c, 0), 'テンキー , (JIS)');
  await setLanguage('ko');
  assert.equal(keyName(0x78, 0), '가타카나');
  assert.equal(keyName(0x7e, 0), '숫자 키패드 ,');
  assert.equal(keyName(0xf2, 0), '한/영');
  assert.equal(keyName(0x72, 0), '한/영');
  assert.equal(keyName(0xf1, 0), '한자');
  await setLanguage('zh');
  assert.equal(keyName(0x6a, 1), '浏览器后退');
  assert.equal(keyName(0x59, 0), '小键盘等号');
  assert.equal(keyName(0x77, 0), '平假名');
  await setLanguage('zh-TW');
  assert.equal(keyName(0x7e, 0), '數字鍵台 ,');
  await setLanguage('ru');
  assert.equal(keyName(0x5f, 1), 'Сон');
  assert.equal(keyName(0x78, 0), 'Катакана');
  await setLanguage('de-DE');
  assert.equal(comboLabel(2, 0x59, 0), 'Umschalt + Num =');
  await setLanguage('en');
  assert.equal(keyName(0x6c, 1), 'Mail');
});

// The page writes numbers from its own tables; Node's Intl (full ICU) is what
// they must print: the values cover grouping, rounding (half away from zero,
// of the shortest decimal form), signs, zero, -0, the non-finite values and
// every plural rule's cases.
const NUMBERS = [0, 1, 2, 3, 4, 5, 11, 12, 14, 21, 22, 25, 101, 111, 112, 999, 1000, 1234, 9999, 10000, 12345, 123456, 1234567,
  1e12, 1e21, -1, -2, -5, -1234.5, -0.0004, 0.5, 1.5, 2.25, 2.5, 1.0004, 1.0005, 1.2345, 0.0004, 0.0005, 999.9995, 21.1, -0,
  NaN, Infinity, -Infinity];
const UNITS = ['millisecond', 'percent', 'millimeter'];
const shown = (v) => (Object.is(v, -0) ? '-0' : String(v));

for (const { locale } of LANGUAGES) {
  test(`numbers, units and plural categories in ${locale} are Intl's`, () => {
    const format = new Intl.NumberFormat(locale);
    const plurals = new Intl.PluralRules(locale);
    for (const v of NUMBERS) {
      assert.equal(numbers.formatNumber(v, locale), format.format(v), `${shown(v)}`);
      assert.equal(numbers.pluralCategory(v, locale), plurals.select(v), `the plural category of ${shown(v)}`);
      for (const unit of UNITS) {
        const intl = new Intl.NumberFormat(locale, { style: 'unit', unit, unitDisplay: 'short' });
        assert.equal(numbers.formatUnit(v, unit, locale), intl.format(v), `${shown(v)} ${unit}`);
      }
    }
    for (const unit of UNITS) {
      const parts = new Intl.NumberFormat(locale, { style: 'unit', unit, unitDisplay: 'short' }).formatToParts(1);
      assert.equal(numbers.unitSymbol(unit, locale), parts.find((p) => p.type === 'unit').value, unit);
    }
  });
}

test('the page\'s language writes numbers; a unit without a table entry is named, not refused', async () => {
  await setLanguage('ru');
  assert.deepEqual([formatNumber(-1234.5), formatUnit(80, 'percent'), unitSymbol('millisecond')], ['-1\u00a0234,5', '80\u00a0%', 'мс']);
  assert.deepEqual([formatUnit(2.5, 'second'), unitSymbol('second')], ['2,5 second', 'second']);
  assert.equal(t('system.lines', { n: 1.5 }), '1,5 строки', 'a fraction is "other" in Russian');
  await setLanguage('en');
  assert.deepEqual([formatNumber(1234.5), formatUnit(3, 'millimeter'), formatUnit(1e3, 'byte')], ['1,234.5', '3 mm', '1,000 byte']);
  assert.equal(numbers.formatNumber(1234.5, 'fr'), '1,234.5', 'a language without a table writes as English');
});

// The files under dir (a folder URL) whose names end in one of the endings,
// with their text: [{ name, text }].
function pageFiles(dir, endings) {
  const files = [];
  for (const e of readdirSync(dir, { withFileTypes: true })) {
    if (e.isDirectory()) files.push(...pageFiles(new URL(`${e.name}/`, dir), endings));
    else if (endings.some((end) => e.name.endsWith(end))) files.push({ name: e.name, text: readFileSync(new URL(e.name, dir), 'utf8') });
  }
  return files;
}

test('the page\'s code formats numbers without Intl', () => {
  const uses = pageFiles(new URL('js/', viewDir), ['.js'])
    .filter(({ text }) => /\bIntl\b|\.toLocale\w*String\(|localeCompare\(/.test(text.replace(/\/\/.*$/gm, '')))
    .map(({ name }) => name);
  assert.deepEqual(uses, []);
});

test('every text the page asks for exists', () => {
  const sources = pageFiles(viewDir, ['.js', '.html']).map(({ text }) => text);
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
  for (const s of ['saved', 'pending', 'failed']) used.add(`save.${s}`);
  for (const r of ['step', 'min', 'max']) used.add(`perf.dpiAdjusted.${r}`);
  for (const s of ['down', 'up', 'delay']) used.add(`macros.kind.${s}`);
  for (const s of ['performance', 'buttons', 'macros', 'lighting', 'modes', 'system', 'settings']) used.add(`nav.${s}`);
  for (const s of DELAY_CHOICES) used.add(`macros.delays.${s}`);
  for (const s of ['performance', 'buttons', 'lighting']) used.add(`screenReset.${s}`);
  const missing = [...used].filter((k) => !(k in EN) && !k.endsWith('.help'));
  assert.deepEqual(missing, []);
  assert.ok(used.size > 150);
  // Every error has help text saying what to do.
  for (const k of Object.keys(EN).filter((k) => k.startsWith('error.') && !k.endsWith('.help'))) assert.ok(`${k}.help` in EN, k);
});

test('translation with placeholders and language choice', async () => {
  await setLanguage('zh');
  assert.equal(t('perf.stage', { n: 3 }), '档位 3');
  await setLanguage('en');
  assert.equal(t('perf.stage', { n: 3 }), 'Stage 3');
  assert.equal(t('no.such.key'), 'no.such.key');
  assert.equal(t('no.such.key', {}, ''), '');
});

test('sentences shown as one paragraph: no space after a Chinese or Japanese full stop', async () => {
  const joined = {};
  for (const code of ['en', 'zh', 'zh-TW', 'ja', 'de-DE', 'ru', 'ko']) {
    await setLanguage(code);
    joined[code] = sentences(t('macros.recordingHint'), t('macros.recordStopEsc'));
  }
  await setLanguage('en');
  for (const code of ['zh', 'zh-TW', 'ja']) assert.doesNotMatch(joined[code], /[。！？]\s/u, code);
  for (const code of ['en', 'de-DE', 'ru', 'ko']) assert.match(joined[code], /[.!?] \S/u, code);
  assert.equal(sentences('One.', '', 'Two.'), 'One. Two.');
});

// A copy of the page's modules, loaded afresh (no table loaded yet), whose
// language files a test may take away or break.
const pageJs = new URL('../../view/js/', import.meta.url);
function pageCopy(t) {
  const dir = mkdtempSync(join(tmpdir(), 'kelv-i18n-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  cpSync(pageJs, join(dir, 'js'), { recursive: true });
  // The page's package.json marks its scripts as ES modules; Node before 20.19
  // (Debian 12 has 18) does not guess that from the syntax.
  copyFileSync(new URL('../package.json', pageJs), join(dir, 'package.json'));
  const load = (module) => import(pathToFileURL(join(dir, 'js', module)).href);
  return { table: (file) => join(dir, 'js/i18n', file), load };
}

// console.error's messages while run() runs.
async function errorsOf(run) {
  const said = [];
  const error = console.error;
  console.error = (m) => said.push(String(m));
  try {
    return { result: await run(), said };
  } finally {
    console.error = error;
  }
}

test('a language\'s texts are loaded when it is chosen; a loaded one switches at once; the last choice wins', async (t) => {
  const i18n = await pageCopy(t).load('i18n.js');
  assert.equal(i18n.t('nav.performance'), 'Performance');
  const german = i18n.setLanguage('de-DE');
  assert.equal(i18n.currentLanguage(), 'en', 'English until the German texts are there');
  assert.equal(await german, true);
  assert.deepEqual([i18n.currentLanguage(), i18n.currentLocale(), i18n.t('nav.performance')], ['de-DE', 'de-DE', 'Leistung']);
  i18n.setLanguage('en');
  assert.equal(i18n.t('nav.performance'), 'Performance');
  i18n.setLanguage('de-DE');
  assert.equal(i18n.t('nav.performance'), 'Leistung', 'a loaded table switches without waiting');
  // Korean chosen, then German again before the Korean texts arrived.
  const korean = i18n.setLanguage('ko');
  const again = i18n.setLanguage('de-DE');
  assert.deepEqual(await Promise.all([korean, again]), [true, true]);
  assert.equal(i18n.t('nav.performance'), 'Leistung');
  assert.equal(await i18n.setLanguage('ko'), true);
  assert.equal(i18n.t('nav.performance'), '성능');
});

test('a language file missing or broken keeps the language; built-in names are known without it', async (t) => {
  const page = pageCopy(t);
  rmSync(page.table('ru.js'));
  writeFileSync(page.table('ja.js'), "export const JA = { 'app.title': ");
  writeFileSync(page.table('ko.js'), 'export const OTHER = {};\n');
  const i18n = await page.load('i18n.js');
  const names = await page.load('names.js');
  assert.equal(await i18n.setLanguage('de-DE'), true);
  for (const code of ['ru', 'ja', 'ko']) {
    const { result, said } = await errorsOf(() => i18n.setLanguage(code));
    assert.equal(result, false, code);
    assert.equal(said.length, 1, code);
    assert.deepEqual([i18n.currentLanguage(), i18n.t('nav.performance')], ['de-DE', 'Leistung'], code);
  }
  // Names made in a language whose table never loaded.
  assert.equal(names.shownModeName('Режим 4'), 'Modus 4');
  assert.equal(names.shownMacroName('매크로 2'), 'Makro 2');
  assert.equal(names.shownModeName('デフォルト'), 'Standard', 'the Japanese name of earlier versions');
  assert.equal(names.shownModeName('既定'), 'Standard');
  // The file back, the language loads: a failed load is not remembered.
  copyFileSync(new URL('i18n/ru.js', pageJs), page.table('ru.js'));
  assert.equal(await i18n.setLanguage('ru'), true);
  assert.equal(i18n.t('nav.performance'), 'Сенсор и DPI');
});

test('the settings: a language that cannot be loaded is said and not saved; a language chosen meanwhile wins', async (t) => {
  const page = pageCopy(t);
  rmSync(page.table('ru.js'));
  const { App } = await page.load('app.js');
  const i18n = await page.load('i18n.js');
  const conf = { language: 'ru' };
  const written = [];
  const win = makeNative({ handlers: {
    getConf: () => ({ ok: true, text: JSON.stringify([conf]) }),
    setConf: (r) => { written.push(r.confValue); conf[r.confKey] = r.confValue; return { ok: true, text: 'modify conf sucess' }; },
  } });
  const app = new App(win);
  app.ui = { render() {}, renderAlerts() {}, updateSaveState() {}, updateChrome() {} };
  const settings = app.settings;
  const alerts = () => app.alerts.map((a) => a.key);
  await errorsOf(() => settings.load());
  assert.deepEqual([i18n.currentLanguage(), alerts()], ['en', ['error.language']]);
  app.alerts = [];
  await errorsOf(() => settings.setLanguage('ru'));
  assert.deepEqual([i18n.currentLanguage(), written, alerts()], ['en', [], ['error.language']]);
  await settings.setLanguage('de-DE');
  assert.deepEqual([i18n.currentLanguage(), conf.language, i18n.t('nav.performance')], ['de-DE', 'de-DE', 'Leistung']);
  // Japanese chosen, then English before the Japanese texts arrived.
  await Promise.all([settings.setLanguage('ja'), settings.setLanguage('en')]);
  assert.deepEqual([i18n.currentLanguage(), i18n.t('nav.performance')], ['en', 'Performance']);
  assert.deepEqual(written, ['de-DE', 'en']);
});

test('a page back from its rest speaks its language before its shell is drawn', async (t) => {
  const page = pageCopy(t);
  const { App } = await page.load('app.js');
  const { keepState } = await page.load('rest.js');
  const i18n = await page.load('i18n.js');
  const items = new Map();
  const sessionStorage = { getItem: (k) => items.get(k) ?? null, setItem: (k, v) => items.set(k, String(v)) };
  const rested = new App(makeNative());
  rested.state.conf = { language: 'de-DE' };
  keepState(rested, { sessionStorage, document: null });
  // The page's document, as far as the start gets before it draws the shell.
  let drawnIn = null;
  const document = {
    wasDiscarded: true,
    documentElement: {},
    querySelector() {
      drawnIn ??= i18n.currentLanguage();
      throw new Error('no page to draw on');
    },
  };
  Object.assign(globalThis, { document, sessionStorage });
  t.after(() => { delete globalThis.document; delete globalThis.sessionStorage; });
  await assert.rejects(new App(makeNative()).start(), /no page to draw on/);
  assert.equal(drawnIn, 'de-DE');
});
