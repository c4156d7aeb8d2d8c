// The names the program gives by itself (a mode, a new mode, a macro), in every
// language. They are stored as they were made, in the language chosen then, and
// recognised in any language (names.js) without loading every language's table;
// each table takes its own from here.
export const BUILTIN_NAMES = {
  en: {
    'modes.defaultName': 'Default',
    'modes.newName': 'Mode {n}',
    'macros.defaultName': 'Macro {n}',
  },
  zh: {
    'modes.defaultName': '默认',
    'modes.newName': '模式 {n}',
    'macros.defaultName': '宏 {n}',
  },
  'zh-TW': {
    'modes.defaultName': '預設',
    'modes.newName': '模式 {n}',
    'macros.defaultName': '巨集 {n}',
  },
  'de-DE': {
    'modes.defaultName': 'Standard',
    'modes.newName': 'Modus {n}',
    'macros.defaultName': 'Makro {n}',
  },
  ja: {
    'modes.defaultName': '既定',
    'modes.newName': 'モード {n}',
    'macros.defaultName': 'マクロ {n}',
  },
  ru: {
    'modes.defaultName': 'Основной',
    'modes.newName': 'Режим {n}',
    'macros.defaultName': 'Макрос {n}',
  },
  ko: {
    'modes.defaultName': '기본',
    'modes.newName': '모드 {n}',
    'macros.defaultName': '매크로 {n}',
  },
};

// Built-in names an earlier version gave, still recognised as built-in (a
// profile keeps the name it was made with).
export const FORMER_BUILTIN_NAMES = {
  'modes.defaultName': ['デフォルト'],
};
