// Texts of the page in seven languages. Every table has exactly the keys of
// the English one (a test checks it, and that every key the page uses
// exists). A text is a string with {name} places, or, where the words change
// with a number, an object naming the number's place ("plural") and one text
// per plural category of the language (Intl.PluralRules).
import { EN } from './i18n/en.js';
import { ZH } from './i18n/zh.js';
import { ZH_TW } from './i18n/zh-TW.js';
import { DE } from './i18n/de.js';
import { JA } from './i18n/ja.js';
import { RU } from './i18n/ru.js';
import { KO } from './i18n/ko.js';

// code: the conf.xml "language" value the page writes (the tray reads the
// same value); locale: the language of numbers, plurals and the page.
export const LANGUAGES = Object.freeze([
  { code: 'en', locale: 'en', name: 'English', table: EN },
  { code: 'zh', locale: 'zh-CN', name: '简体中文', table: ZH },
  { code: 'zh-TW', locale: 'zh-TW', name: '繁體中文', table: ZH_TW },
  { code: 'de-DE', locale: 'de-DE', name: 'Deutsch', table: DE },
  { code: 'ja', locale: 'ja', name: '日本語', table: JA },
  { code: 'ru', locale: 'ru', name: 'Русский', table: RU },
  { code: 'ko', locale: 'ko', name: '한국어', table: KO },
]);

let current = LANGUAGES[0];
// Made when first needed: the first Intl object of a page sets up the
// language data (several milliseconds, which the page's start does without).
let numbers = null;
let plurals = null;
const numberFormat = () => (numbers ??= new Intl.NumberFormat(current.locale));
const pluralRules = () => (plurals ??= new Intl.PluralRules(current.locale));

// The conf.xml "language" value as one of the page's languages: the values
// the tray knows, and the other spellings of Simplified Chinese.
export function normaliseLanguage(value) {
  const v = String(value ?? '').trim();
  if (v === 'zh' || v === 'zh-CN' || v === 'zh_CN' || v === 'zh-Hans') return 'zh';
  if (v === 'zh-TW' || v === 'zh-HK') return 'zh-TW';
  return LANGUAGES.some((l) => l.code === v) ? v : 'en';
}

export function setLanguage(code) {
  current = LANGUAGES.find((l) => l.code === code) ?? LANGUAGES[0];
  numbers = null;
  plurals = null;
  if (typeof document !== 'undefined') document.documentElement.lang = current.locale;
}

export function currentLanguage() {
  return current.code;
}

export function currentLocale() {
  return current.locale;
}

// A number the way the language writes it (digit grouping, decimal sign).
export function formatNumber(n) {
  return numberFormat().format(n);
}

// A value with a unit the language names itself ("5 ms", "5 мс", "80 %").
export function formatUnit(value, unit) {
  return new Intl.NumberFormat(current.locale, { style: 'unit', unit, unitDisplay: 'short' }).format(value);
}

function pick(entry, vars) {
  if (typeof entry === 'string') return entry;
  const n = Number(vars[entry.plural]);
  return entry[pluralRules().select(Number.isFinite(n) ? n : 0)] ?? entry.other;
}

// The text for key with {name} places filled (numbers formatted for the
// language); a missing key falls back to English, then to fallback (or the
// key itself, so a gap is visible).
export function t(key, vars = {}, fallback) {
  const entry = current.table[key] ?? EN[key];
  if (entry === undefined) return fallback !== undefined ? fallback : key;
  let s = pick(entry, vars);
  for (const [k, v] of Object.entries(vars)) s = s.split(`{${k}}`).join(typeof v === 'number' ? numberFormat().format(v) : String(v));
  return s;
}

// Elements of the static page marked data-i18n (text) or data-i18n-aria.
export function applyStaticTexts(root) {
  for (const el of root.querySelectorAll('[data-i18n]')) el.textContent = t(el.dataset.i18n);
  for (const el of root.querySelectorAll('[data-i18n-aria]')) el.setAttribute('aria-label', t(el.dataset.i18nAria));
}

// The unit's own short name ("ms", "мс") for a label beside a number field.
export function unitSymbol(unit) {
  const parts = new Intl.NumberFormat(current.locale, { style: 'unit', unit, unitDisplay: 'short' }).formatToParts(1);
  return parts.filter((p) => p.type === 'unit').map((p) => p.value).join('') || unit;
}
