// Names the program gives by itself ("Default", "Mode 2", "Macro 1") are
// stored as they were made, in whatever language was chosen then; they are
// shown in the language chosen now. A name the user typed is shown as typed.
import { t } from './i18n.js';
import { BUILTIN_NAMES, FORMER_BUILTIN_NAMES } from './i18n/builtin.js';

// Each language's text of key as a pattern ({n} = a number), whether or not
// the language's table was ever loaded.
const patterns = new Map();
function patternsOf(key) {
  if (!patterns.has(key)) {
    const list = [...Object.values(BUILTIN_NAMES).map((names) => names[key]), ...(FORMER_BUILTIN_NAMES[key] ?? [])].filter((s) => typeof s === 'string')
      .map((s) => new RegExp(`^${s.replace(/[.*+?^$()|[\]\\]/g, '\\$&').replace(/\{n\}/g, '(\\d+)').replace(/[{}]/g, '\\$&')}$`));
    patterns.set(key, list);
  }
  return patterns.get(key);
}

// name in the current language when it is one of keys' built-in texts.
export function shownName(name, keys) {
  const text = String(name ?? '').trim();
  for (const key of keys) {
    for (const re of patternsOf(key)) {
      const m = re.exec(text);
      if (m) return t(key, m[1] === undefined ? {} : { n: Number(m[1]) });
    }
  }
  return name;
}

export const shownModeName = (name) => shownName(name, ['modes.defaultName', 'modes.newName']);
export const shownMacroName = (name) => shownName(name, ['macros.defaultName']);
