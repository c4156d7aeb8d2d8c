// Texts of the page in English and Simplified Chinese. Every key exists in
// both tables (a test checks it, and that every key the page uses exists).
import { EN } from './i18n/en.js';
import { ZH } from './i18n/zh.js';

export const LANGUAGES = Object.freeze([
  { code: 'en', name: 'English', table: EN },
  { code: 'zh', name: '简体中文', table: ZH },
]);

let current = LANGUAGES[0];

// The conf.xml "language" value as one of the page's languages.
export function normaliseLanguage(value) {
  const v = String(value ?? '').trim();
  if (v === 'zh' || v === 'zh-CN' || v === 'zh_CN' || v === 'zh-Hans') return 'zh';
  return 'en';
}

export function setLanguage(code) {
  current = LANGUAGES.find((l) => l.code === code) ?? LANGUAGES[0];
  if (typeof document !== 'undefined') document.documentElement.lang = current.code === 'zh' ? 'zh-CN' : 'en';
}

export function currentLanguage() {
  return current.code;
}

// The text for key with {name} places filled; a missing key falls back to
// English, then to fallback (or the key itself, so a gap is visible).
export function t(key, vars = {}, fallback) {
  let s = current.table[key] ?? EN[key];
  if (s === undefined) return fallback !== undefined ? fallback : key;
  for (const [k, v] of Object.entries(vars)) s = s.split(`{${k}}`).join(String(v));
  return s;
}

// Elements of the static page marked data-i18n (text) or data-i18n-aria.
export function applyStaticTexts(root) {
  for (const el of root.querySelectorAll('[data-i18n]')) el.textContent = t(el.dataset.i18n);
  for (const el of root.querySelectorAll('[data-i18n-aria]')) el.setAttribute('aria-label', t(el.dataset.i18nAria));
}
