// Key names for PC set-1 scan codes (with the extended flag, as the macro
// recorder reports them and the button assignments store them), and the
// translation from the page's own keyboard events to those codes.
import { t } from './i18n.js';

// [KeyboardEvent.code, scan code, extended, display name (, text key where
// the key has no code)]
const KEYS = [
  ['Escape', 0x01, 0, 'Esc'],
  ['Digit1', 0x02, 0, '1'], ['Digit2', 0x03, 0, '2'], ['Digit3', 0x04, 0, '3'],
  ['Digit4', 0x05, 0, '4'], ['Digit5', 0x06, 0, '5'], ['Digit6', 0x07, 0, '6'],
  ['Digit7', 0x08, 0, '7'], ['Digit8', 0x09, 0, '8'], ['Digit9', 0x0a, 0, '9'],
  ['Digit0', 0x0b, 0, '0'], ['Minus', 0x0c, 0, '-'], ['Equal', 0x0d, 0, '='],
  ['Backspace', 0x0e, 0, 'Backspace'], ['Tab', 0x0f, 0, 'Tab'],
  ['KeyQ', 0x10, 0, 'Q'], ['KeyW', 0x11, 0, 'W'], ['KeyE', 0x12, 0, 'E'], ['KeyR', 0x13, 0, 'R'],
  ['KeyT', 0x14, 0, 'T'], ['KeyY', 0x15, 0, 'Y'], ['KeyU', 0x16, 0, 'U'], ['KeyI', 0x17, 0, 'I'],
  ['KeyO', 0x18, 0, 'O'], ['KeyP', 0x19, 0, 'P'], ['BracketLeft', 0x1a, 0, '['],
  ['BracketRight', 0x1b, 0, ']'], ['Enter', 0x1c, 0, 'Enter'], ['ControlLeft', 0x1d, 0, 'Left Ctrl'],
  ['KeyA', 0x1e, 0, 'A'], ['KeyS', 0x1f, 0, 'S'], ['KeyD', 0x20, 0, 'D'], ['KeyF', 0x21, 0, 'F'],
  ['KeyG', 0x22, 0, 'G'], ['KeyH', 0x23, 0, 'H'], ['KeyJ', 0x24, 0, 'J'], ['KeyK', 0x25, 0, 'K'],
  ['KeyL', 0x26, 0, 'L'], ['Semicolon', 0x27, 0, ';'], ['Quote', 0x28, 0, "'"],
  ['Backquote', 0x29, 0, '`'], ['ShiftLeft', 0x2a, 0, 'Left Shift'], ['Backslash', 0x2b, 0, '\\'],
  ['KeyZ', 0x2c, 0, 'Z'], ['KeyX', 0x2d, 0, 'X'], ['KeyC', 0x2e, 0, 'C'], ['KeyV', 0x2f, 0, 'V'],
  ['KeyB', 0x30, 0, 'B'], ['KeyN', 0x31, 0, 'N'], ['KeyM', 0x32, 0, 'M'], ['Comma', 0x33, 0, ','],
  ['Period', 0x34, 0, '.'], ['Slash', 0x35, 0, '/'], ['ShiftRight', 0x36, 0, 'Right Shift'],
  ['NumpadMultiply', 0x37, 0, 'Num *'], ['AltLeft', 0x38, 0, 'Left Alt'], ['Space', 0x39, 0, 'Space'],
  ['CapsLock', 0x3a, 0, 'Caps Lock'],
  ['F1', 0x3b, 0, 'F1'], ['F2', 0x3c, 0, 'F2'], ['F3', 0x3d, 0, 'F3'], ['F4', 0x3e, 0, 'F4'],
  ['F5', 0x3f, 0, 'F5'], ['F6', 0x40, 0, 'F6'], ['F7', 0x41, 0, 'F7'], ['F8', 0x42, 0, 'F8'],
  ['F9', 0x43, 0, 'F9'], ['F10', 0x44, 0, 'F10'], ['Pause', 0x45, 0, 'Pause'],
  ['ScrollLock', 0x46, 0, 'Scroll Lock'], ['Numpad7', 0x47, 0, 'Num 7'], ['Numpad8', 0x48, 0, 'Num 8'],
  ['Numpad9', 0x49, 0, 'Num 9'], ['NumpadSubtract', 0x4a, 0, 'Num -'], ['Numpad4', 0x4b, 0, 'Num 4'],
  ['Numpad5', 0x4c, 0, 'Num 5'], ['Numpad6', 0x4d, 0, 'Num 6'], ['NumpadAdd', 0x4e, 0, 'Num +'],
  ['Numpad1', 0x4f, 0, 'Num 1'], ['Numpad2', 0x50, 0, 'Num 2'], ['Numpad3', 0x51, 0, 'Num 3'],
  ['Numpad0', 0x52, 0, 'Num 0'], ['NumpadDecimal', 0x53, 0, 'Num .'], ['IntlBackslash', 0x56, 0, '\\ (ISO)'],
  ['F11', 0x57, 0, 'F11'], ['F12', 0x58, 0, 'F12'],
  ['F13', 0x64, 0, 'F13'], ['F14', 0x65, 0, 'F14'], ['F15', 0x66, 0, 'F15'], ['F16', 0x67, 0, 'F16'],
  ['F17', 0x68, 0, 'F17'], ['F18', 0x69, 0, 'F18'], ['F19', 0x6a, 0, 'F19'], ['F20', 0x6b, 0, 'F20'],
  ['F21', 0x6c, 0, 'F21'], ['F22', 0x6d, 0, 'F22'], ['F23', 0x6e, 0, 'F23'], ['F24', 0x76, 0, 'F24'],
  ['NumpadEnter', 0x1c, 1, 'Num Enter'], ['ControlRight', 0x1d, 1, 'Right Ctrl'],
  ['NumpadDivide', 0x35, 1, 'Num /'], ['PrintScreen', 0x37, 1, 'Print Screen'],
  ['AltRight', 0x38, 1, 'Right Alt'], ['NumLock', 0x45, 1, 'Num Lock'],
  ['Home', 0x47, 1, 'Home'], ['ArrowUp', 0x48, 1, 'Up'], ['PageUp', 0x49, 1, 'Page Up'],
  ['ArrowLeft', 0x4b, 1, 'Left'], ['ArrowRight', 0x4d, 1, 'Right'], ['End', 0x4f, 1, 'End'],
  ['ArrowDown', 0x50, 1, 'Down'], ['PageDown', 0x51, 1, 'Page Down'], ['Insert', 0x52, 1, 'Insert'],
  ['Delete', 0x53, 1, 'Delete'], ['MetaLeft', 0x5b, 1, 'Left Win'], ['MetaRight', 0x5c, 1, 'Right Win'],
  ['ContextMenu', 0x5d, 1, 'Menu'],
  ['MediaTrackPrevious', 0x10, 1, 'Previous Track'], ['MediaTrackNext', 0x19, 1, 'Next Track'],
  ['AudioVolumeMute', 0x20, 1, 'Mute'], ['MediaPlayPause', 0x22, 1, 'Play/Pause'],
  ['MediaStop', 0x24, 1, 'Stop'], ['AudioVolumeDown', 0x2e, 1, 'Volume Down'],
  ['AudioVolumeUp', 0x30, 1, 'Volume Up'],
  ['LaunchApp2', 0x21, 1, 'Calculator'], ['LaunchMail', 0x6c, 1, 'Mail'],
  ['BrowserHome', 0x32, 1, 'Browser Home'], ['BrowserBack', 0x6a, 1, 'Browser Back'],
  ['BrowserForward', 0x69, 1, 'Browser Forward'], ['BrowserRefresh', 0x67, 1, 'Browser Refresh'],
  ['BrowserStop', 0x68, 1, 'Browser Stop'], ['BrowserSearch', 0x65, 1, 'Browser Search'],
  ['BrowserFavorites', 0x66, 1, 'Browser Favorites'], ['LaunchApp1', 0x6b, 1, 'My Computer'],
  ['MediaSelect', 0x6d, 1, 'Media Select'], ['Sleep', 0x5f, 1, 'Sleep'], ['WakeUp', 0x63, 1, 'Wake'],
  ['Power', 0x5e, 1, 'Power'],
  // Japanese and Korean keyboards. Hangul and Hanja (Kana and Eisu on Apple's
  // Japanese keyboards) send F2 and F1, make codes without a break code; the
  // recorder reports them so and the mouse plays them back so.
  ['KanaMode', 0x70, 0, 'Katakana/Hiragana'], ['IntlRo', 0x73, 0, 'Ro'], ['Convert', 0x79, 0, 'Henkan'],
  ['NonConvert', 0x7b, 0, 'Muhenkan'], ['IntlYen', 0x7d, 0, 'Yen'],
  ['Lang1', 0xf2, 0, 'Hangul/Kana'], ['Lang2', 0xf1, 0, 'Hanja/Eisu'],
  ['Lang3', 0x78, 0, 'Katakana'], ['Lang4', 0x77, 0, 'Hiragana'],
  // Keypad keys of Japanese, Brazilian and Mac keyboards.
  ['NumpadEqual', 0x59, 0, 'Num ='], ['NumpadComma', 0x7e, 0, 'Num ,'],
  // The JIS keypad comma has no KeyboardEvent.code: the page names it and
  // offers it to buttons, only the native recorder records it.
  [null, 0x5c, 0, 'Num , (JIS)', 'key.numJpComma'],
];

// Codes that name a key of the table without being its own: a Windows keyboard
// hook reports Hangul and Hanja as 0x72 and 0x71 (F2 and F1 read as releases).
const ALSO = [['Lang1', 0x72, 0], ['Lang2', 0x71, 0]];

// Keys whose names the language gives: a text key, or [side, key] for the
// left and right modifiers. The others are named as printed in every language.
const NAMED = {
  Space: 'key.space', Backspace: 'key.backspace', Enter: 'key.enter', CapsLock: 'key.capsLock',
  PrintScreen: 'key.printScreen', ScrollLock: 'key.scrollLock', Pause: 'key.pause', NumLock: 'key.numLock',
  Home: 'key.home', End: 'key.end', PageUp: 'key.pageUp', PageDown: 'key.pageDown', Insert: 'key.insert',
  Delete: 'key.delete', ArrowUp: 'key.up', ArrowDown: 'key.down', ArrowLeft: 'key.left', ArrowRight: 'key.right',
  ContextMenu: 'key.menu', NumpadEnter: 'key.numEnter', MediaStop: 'key.mediaStop',
  MediaTrackPrevious: 'mediaFn.3', MediaTrackNext: 'mediaFn.2', AudioVolumeMute: 'mediaFn.6',
  MediaPlayPause: 'mediaFn.1', AudioVolumeDown: 'mediaFn.5', AudioVolumeUp: 'mediaFn.4',
  LaunchApp2: 'key.calculator', LaunchMail: 'key.mail', BrowserHome: 'key.browserHome',
  BrowserBack: 'key.browserBack', BrowserForward: 'key.browserForward', BrowserRefresh: 'key.browserRefresh',
  BrowserStop: 'key.browserStop', BrowserSearch: 'key.browserSearch', BrowserFavorites: 'key.browserFavorites',
  LaunchApp1: 'key.myComputer', MediaSelect: 'key.mediaSelect', Sleep: 'key.sleep', WakeUp: 'key.wakeUp',
  Power: 'key.power', KanaMode: 'key.kanaMode', IntlRo: 'key.ro', Convert: 'key.convert',
  NonConvert: 'key.nonConvert', IntlYen: 'key.yen', Lang1: 'key.lang1', Lang2: 'key.lang2',
  Lang3: 'key.katakana', Lang4: 'key.hiragana', NumpadEqual: 'key.numEqual', NumpadComma: 'key.numComma',
  ControlLeft: ['key.sideLeft', 'key.ctrl'], ControlRight: ['key.sideRight', 'key.ctrl'],
  ShiftLeft: ['key.sideLeft', 'key.shift'], ShiftRight: ['key.sideRight', 'key.shift'],
  AltLeft: ['key.sideLeft', 'key.alt'], AltRight: ['key.sideRight', 'key.alt'],
  MetaLeft: ['key.sideLeft', 'key.meta'], MetaRight: ['key.sideRight', 'key.meta'],
};

// The key beside Alt is the Windows key on Windows and Super on other systems.
let windowsKeyboard = /^Win/i.test(globalThis.navigator?.platform ?? '');
export function setWindowsKeyboard(yes) {
  windowsKeyboard = !!yes;
}

export function metaKeyName() {
  return t(windowsKeyboard ? 'key.win' : 'key.super');
}

function nameOf(key) {
  return key === 'key.meta' ? metaKeyName() : t(key);
}

// A key's name from its text key (see NAMED), or as printed without one.
function localName(named, name) {
  if (!named) return name;
  return Array.isArray(named) ? t(named[0], { key: nameOf(named[1]) }) : t(named);
}

const entries = KEYS.map(([code, scan, ext, name, text]) => ({ code, scan, ext, name, named: code ? NAMED[code] : text }));
const byCode = new Map(entries.filter((e) => e.code).map((e) => [e.code, e]));
const byScan = new Map([...entries.map((e) => [e.scan * 2 + e.ext, e]),
  ...ALSO.map(([code, scan, ext]) => [scan * 2 + ext, byCode.get(code)])]);

// The name of a key in the page's language; unknown codes show as their
// number so nothing is hidden.
export function keyName(scan, ext = 0) {
  const entry = byScan.get(scan * 2 + (ext ? 1 : 0));
  if (entry) return localName(entry.named, entry.name);
  // An extended code the table does not name: fall back to the plain key.
  const plain = ext ? byScan.get(scan * 2) : undefined;
  const hex = '0x' + scan.toString(16).padStart(2, '0');
  return plain ? `${localName(plain.named, plain.name)} (E0)` : `Key ${hex}${ext ? ' (E0)' : ''}`;
}

// {scan, ext, name} for a KeyboardEvent.code, or null.
export function scanFromCode(code) {
  const e = byCode.get(code);
  return e ? { scan: e.scan, ext: e.ext, name: e.name } : null;
}

// Every key the page names, {code, scan, ext}, in table order (code null for
// a key the web platform has no code for).
export function namedKeys() {
  return entries.map(({ code, scan, ext }) => ({ code, scan, ext }));
}

export function isModifierCode(code) {
  return /^(Control|Shift|Alt|Meta)(Left|Right)$/.test(code);
}

// Every key the button editor offers in its list, in table order.
export function assignableKeys() {
  return entries.filter((e) => e.scan >= 1 && e.scan <= 127).map((e) => ({ code: e.code, scan: e.scan, ext: e.ext, name: localName(e.named, e.name) }));
}

// Modifier bits of a button's key assignment: Ctrl 1, Shift 2, Alt 4, Win 8.
export function modifierBits(ev) {
  return (ev.ctrlKey ? 1 : 0) | (ev.shiftKey ? 2 : 0) | (ev.altKey ? 4 : 0) | (ev.metaKey ? 8 : 0);
}

export function comboLabel(mods, scan, ext) {
  const parts = [];
  if (mods & 1) parts.push(t('key.ctrl'));
  if (mods & 2) parts.push(t('key.shift'));
  if (mods & 4) parts.push(t('key.alt'));
  if (mods & 8) parts.push(metaKeyName());
  parts.push(keyName(scan, ext));
  return parts.join(' + ');
}

// Qt key-sequence names (QKeySequence portable text) for the hot key.
const QT_NAMES = {
  Escape: 'Esc', Backspace: 'Backspace', Tab: 'Tab', Enter: 'Return', NumpadEnter: 'Enter',
  Space: 'Space', Insert: 'Ins', Delete: 'Del', Home: 'Home', End: 'End', PageUp: 'PgUp',
  PageDown: 'PgDown', ArrowLeft: 'Left', ArrowRight: 'Right', ArrowUp: 'Up', ArrowDown: 'Down',
  Minus: '-', Equal: '=', BracketLeft: '[', BracketRight: ']', Semicolon: ';', Quote: "'",
  Backquote: '`', Backslash: '\\', Comma: ',', Period: '.', Slash: '/', Pause: 'Pause',
  PrintScreen: 'Print', ScrollLock: 'ScrollLock', CapsLock: 'CapsLock', NumLock: 'NumLock',
};

// A hot key's QKeySequence text as the language writes it: "Ctrl+Alt+M" is
// "Strg + Alt + M" in German, Meta is Super (or Win on Windows).
export function hotKeyLabel(sequence) {
  const text = String(sequence ?? '');
  if (!text) return '';
  const qtToCode = Object.fromEntries(Object.entries(QT_NAMES).map(([code, name]) => [name, code]));
  const words = text.endsWith('++') ? [...text.slice(0, -2).split('+'), '+'] : text.split('+');
  return words.map((w) => {
    if (w === 'Ctrl') return t('key.ctrl');
    if (w === 'Shift') return t('key.shift');
    if (w === 'Alt') return t('key.alt');
    if (w === 'Meta') return metaKeyName();
    const code = qtToCode[w];
    return code && NAMED[code] ? localName(NAMED[code], w) : w;
  }).join(' + ');
}

// The QKeySequence text of a key event ("Ctrl+Alt+M"), or '' when the event
// is a modifier alone or a key a global hot key cannot use.
export function qtSequenceFromEvent(ev) {
  if (isModifierCode(ev.code)) return '';
  let key = '';
  let m;
  if ((m = /^Key([A-Z])$/.exec(ev.code))) key = m[1];
  else if ((m = /^Digit([0-9])$/.exec(ev.code))) key = m[1];
  else if ((m = /^F([0-9]{1,2})$/.exec(ev.code))) key = 'F' + m[1];
  else if ((m = /^Numpad([0-9])$/.exec(ev.code))) key = m[1];
  else if (QT_NAMES[ev.code]) key = QT_NAMES[ev.code];
  if (!key) return '';
  let s = '';
  if (ev.ctrlKey) s += 'Ctrl+';
  if (ev.altKey) s += 'Alt+';
  if (ev.shiftKey) s += 'Shift+';
  if (ev.metaKey) s += 'Meta+';
  return s + key;
}
