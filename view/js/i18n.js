// Texts of the page in seven languages. Every table has exactly the keys of
// the English one (a test checks it, and that every key the page uses
// exists). A text is a string with {name} places, or, where the words change
// with a number, an object naming the number's place ("plural") and one text
// per plural category of the language (numbers.js).
// English is part of the page; every other table is a file of its own, loaded
// the first time its language is chosen (most users never need six of them).
import { EN } from './i18n/en.js';
import * as numbers from './numbers.js';

// code: the conf.xml "language" value the page writes (the tray reads the
// same value); locale: the language of numbers, plurals and the page.
export const LANGUAGES = Object.freeze([
  { code: 'en', locale: 'en', name: 'English' },
  { code: 'zh', locale: 'zh-CN', name: '简体中文' },
  { code: 'zh-TW', locale: 'zh-TW', name: '繁體中文' },
  { code: 'de-DE', locale: 'de-DE', name: 'Deutsch' },
  { code: 'ja', locale: 'ja', name: '日本語' },
  { code: 'ru', locale: 'ru', name: 'Русский' },
  { code: 'ko', locale: 'ko', name: '한국어' },
]);

// The paths are written out, not made from the code: the bundle keeps these
// imports as they stand and leaves the tables out (cmake/bundle_page.cmake).
// A path is relative to this module and to the bundle alike (both in js/).
const IMPORTS = {
  zh: () => import('./i18n/zh.js').then((m) => m.ZH),
  'zh-TW': () => import('./i18n/zh-TW.js').then((m) => m.ZH_TW),
  'de-DE': () => import('./i18n/de.js').then((m) => m.DE),
  ja: () => import('./i18n/ja.js').then((m) => m.JA),
  ru: () => import('./i18n/ru.js').then((m) => m.RU),
  ko: () => import('./i18n/ko.js').then((m) => m.KO),
};

const tables = new Map([['en', EN]]);
const loading = new Map(); // code -> the promise of its table while it loads

// The table of a language, loaded if it is not yet. Rejects when its file is
// missing or is no table; a later call tries again.
export function languageTable(code) {
  if (tables.has(code)) return Promise.resolve(tables.get(code));
  if (!loading.has(code)) {
    const load = (IMPORTS[code] ?? (() => Promise.reject(new Error(`no language ${code}`))))()
      .then((loaded) => {
        if (!loaded || typeof loaded !== 'object') throw new Error(`the table of ${code} is missing from its file`);
        tables.set(code, loaded);
        return loaded;
      })
      .finally(() => loading.delete(code));
    loading.set(code, load);
  }
  return loading.get(code);
}

let current = LANGUAGES[0];
let table = EN;
let chosen = 0; // counts the choices: a table that arrives late does not undo a later one

// The conf.xml "language" value as one of the page's languages: the values
// the tray knows, and the other spellings of Simplified Chinese.
export function normaliseLanguage(value) {
  const v = String(value ?? '').trim();
  if (v === 'zh' || v === 'zh-CN' || v === 'zh_CN' || v === 'zh-Hans') return 'zh';
  if (v === 'zh-TW' || v === 'zh-HK') return 'zh-TW';
  return LANGUAGES.some((l) => l.code === v) ? v : 'en';
}

// Switches the page's texts to the language (English for an unknown code): at
// once when its table is there, else once it is loaded. Resolves to false
// when the table could not be loaded: the language stays as it was (the log
// says why). A choice made while the table loaded takes its place.
export async function setLanguage(code) {
  const language = LANGUAGES.find((l) => l.code === code) ?? LANGUAGES[0];
  const choice = ++chosen;
  let loaded = tables.get(language.code);
  if (!loaded) {
    try {
      loaded = await languageTable(language.code);
    } catch (e) {
      console.error(`The texts in ${language.name} could not be loaded: ${e.message}`);
      return false;
    }
    if (choice !== chosen) return true;
  }
  current = language;
  table = loaded;
  if (typeof document !== 'undefined') document.documentElement.lang = current.locale;
  return true;
}

export function currentLanguage() {
  return current.code;
}

export function currentLocale() {
  return current.locale;
}

// A number the way the language writes it (digit grouping, decimal sign).
export function formatNumber(n) {
  return numbers.formatNumber(n, current.locale);
}

// A value with a unit the language names itself ("5 ms", "5 мс", "80 %").
export function formatUnit(value, unit) {
  return numbers.formatUnit(value, unit, current.locale);
}

function pick(entry, vars) {
  if (typeof entry === 'string') return entry;
  const n = Number(vars[entry.plural]);
  return entry[numbers.pluralCategory(Number.isFinite(n) ? n : 0, current.locale)] ?? entry.other;
}

// The text for key with {name} places filled (numbers formatted for the
// language); a missing key falls back to English, then to fallback (or the
// key itself, so a gap is visible).
export function t(key, vars = {}, fallback) {
  const entry = table[key] ?? EN[key];
  if (entry === undefined) return fallback !== undefined ? fallback : key;
  let s = pick(entry, vars);
  for (const [k, v] of Object.entries(vars)) s = s.split(`{${k}}`).join(typeof v === 'number' ? formatNumber(v) : String(v));
  return s;
}

// Texts shown one after the other as one paragraph: Chinese and Japanese
// put no space after a sentence's full stop, the other languages one.
export function sentences(...texts) {
  return texts.filter(Boolean).join(/^(zh|ja)\b/.test(current.locale) ? '' : ' ');
}

// Elements of the static page marked data-i18n (text) or data-i18n-aria.
export function applyStaticTexts(root) {
  for (const el of root.querySelectorAll('[data-i18n]')) el.textContent = t(el.dataset.i18n);
  for (const el of root.querySelectorAll('[data-i18n-aria]')) el.setAttribute('aria-label', t(el.dataset.i18nAria));
}

// The unit's own short name ("ms", "мс") for a label beside a number field.
export function unitSymbol(unit) {
  return numbers.unitSymbol(unit, current.locale);
}
