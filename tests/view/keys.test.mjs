import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { keyName, scanFromCode, comboLabel, qtSequenceFromEvent, assignableKeys, modifierBits, namedKeys } from '../../view/js/keys.js';

test('set-1 scan codes name the keys, the extended flag tells twins apart', () => {
  assert.equal(keyName(0x1e, 0), 'A');
  assert.equal(keyName(0x1d, 0), 'Left Ctrl');
  assert.equal(keyName(0x1d, 1), 'Right Ctrl');
  assert.equal(keyName(0x1c, 1), 'Num Enter');
  assert.equal(keyName(0x48, 1), 'Up');
  assert.equal(keyName(0x48, 0), 'Num 8');
  assert.equal(keyName(0x39), 'Space');
});

test('unknown codes stay visible as numbers', () => {
  assert.equal(keyName(0x7f, 0), 'Key 0x7f');
  assert.equal(keyName(0x1e, 1), 'A (E0)');
});

test('page key codes map to the same scan codes the recorder reports', () => {
  assert.deepEqual(scanFromCode('KeyA'), { scan: 0x1e, ext: 0, name: 'A' });
  assert.deepEqual(scanFromCode('ControlRight'), { scan: 0x1d, ext: 1, name: 'Right Ctrl' });
  assert.equal(scanFromCode('Nothing'), null);
  for (const k of assignableKeys()) {
    assert.ok(k.scan >= 1 && k.scan <= 127, k.name);
    assert.equal(keyName(k.scan, k.ext), k.name);
  }
});

test('combinations', () => {
  assert.equal(comboLabel(1 | 2, 0x1e, 0), 'Ctrl + Shift + A');
  assert.equal(modifierBits({ ctrlKey: true, altKey: true }), 5);
  assert.equal(qtSequenceFromEvent({ code: 'KeyM', ctrlKey: true, altKey: true }), 'Ctrl+Alt+M');
  assert.equal(qtSequenceFromEvent({ code: 'F9' }), 'F9');
  assert.equal(qtSequenceFromEvent({ code: 'ShiftLeft', shiftKey: true }), '');
  assert.equal(qtSequenceFromEvent({ code: 'PageDown', metaKey: true, shiftKey: true }), 'Shift+Meta+PgDown');
});

// The launch, browser and power keys a mouse button or a macro may press, and
// the keys of Japanese and Korean keyboards: [KeyboardEvent.code, scan code,
// extended, English name, the Linux key the native side turns the code into].
const MORE_KEYS = [
  ['LaunchApp2', 0x21, 1, 'Calculator', 'KEY_CALC'], ['LaunchMail', 0x6c, 1, 'Mail', 'KEY_MAIL'],
  ['BrowserHome', 0x32, 1, 'Browser Home', 'KEY_HOMEPAGE'], ['BrowserBack', 0x6a, 1, 'Browser Back', 'KEY_BACK'],
  ['BrowserForward', 0x69, 1, 'Browser Forward', 'KEY_FORWARD'],
  ['BrowserRefresh', 0x67, 1, 'Browser Refresh', 'KEY_REFRESH'], ['BrowserStop', 0x68, 1, 'Browser Stop', 'KEY_STOP'],
  ['BrowserSearch', 0x65, 1, 'Browser Search', 'KEY_SEARCH'],
  ['BrowserFavorites', 0x66, 1, 'Browser Favorites', 'KEY_BOOKMARKS'],
  ['LaunchApp1', 0x6b, 1, 'My Computer', 'KEY_COMPUTER'], ['MediaSelect', 0x6d, 1, 'Media Select', 'KEY_MEDIA'],
  ['Sleep', 0x5f, 1, 'Sleep', 'KEY_SLEEP'], ['WakeUp', 0x63, 1, 'Wake', 'KEY_WAKEUP'], ['Power', 0x5e, 1, 'Power', 'KEY_POWER'],
  ['KanaMode', 0x70, 0, 'Katakana/Hiragana', 'KEY_KATAKANAHIRAGANA'], ['IntlRo', 0x73, 0, 'Ro', 'KEY_RO'],
  ['Convert', 0x79, 0, 'Henkan', 'KEY_HENKAN'], ['NonConvert', 0x7b, 0, 'Muhenkan', 'KEY_MUHENKAN'],
  ['IntlYen', 0x7d, 0, 'Yen', 'KEY_YEN'], ['Lang1', 0xf2, 0, 'Hangul/Kana', 'KEY_HANGEUL'],
  ['Lang2', 0xf1, 0, 'Hanja/Eisu', 'KEY_HANJA'], ['Lang3', 0x78, 0, 'Katakana', 'KEY_KATAKANA'],
  ['Lang4', 0x77, 0, 'Hiragana', 'KEY_HIRAGANA'], ['NumpadEqual', 0x59, 0, 'Num =', 'KEY_KPEQUAL'],
  ['NumpadComma', 0x7e, 0, 'Num ,', 'KEY_KPCOMMA'],
];

test('launch, browser, power and Japanese/Korean keys have names of their own, and the page records their codes', () => {
  for (const [code, scan, ext, name] of MORE_KEYS) {
    assert.equal(keyName(scan, ext), name, code);
    assert.deepEqual(scanFromCode(code), { scan, ext, name }, code);
  }
  // A Windows keyboard hook reports Hangul and Hanja as 0x72 and 0x71.
  assert.equal(keyName(0x72, 0), 'Hangul/Kana');
  assert.equal(keyName(0x71, 0), 'Hanja/Eisu');
  // The plain keys that share the numbers keep their names.
  assert.equal(keyName(0x21, 0), 'F');
  assert.equal(keyName(0x6a, 0), 'F19');
  // A button stores codes up to 0x7f: Hangul and Hanja are for macros only.
  const offered = assignableKeys().map((k) => k.name);
  for (const [, scan, , name] of MORE_KEYS) assert.equal(offered.includes(name), scan <= 0x7f, name);
  assert.equal(offered.length, new Set(offered).size, 'every key in the list once');
});

// The native scan-code table as platform/scancode.cpp builds it: Linux key
// code -> {scan, ext}. Every statement of its buildTable() must be one this
// reader understands, so a key added there in another form fails here rather
// than slipping past. Also the Linux key name of each single assignment.
function nativeTable() {
  const source = readFileSync(new URL('../../platform/scancode.cpp', import.meta.url), 'utf8');
  const body = /buildTable\(\)\s*\{([\s\S]*?)\breturn t;/.exec(source)[1].replace(/\/\/[^\n]*/g, '');
  const table = new Map();
  const names = new Map();
  const put = (linux, value) => table.set(linux, { scan: value & 0xff, ext: value & 0x100 ? 1 : 0 });
  const statement = new RegExp([
    /std::array<std::uint16_t, 256> t\{\};/.source,
    /t\[(\d+)\] = (E0 \| )?(0x[0-9A-Fa-f]+);/.source,
    /for \(unsigned code = (\d+); code <= (\d+); \+\+code\)\s*t\[code\] = std::uint16_t\((code|0x[0-9A-Fa-f]+ \+ \(code - \d+\))\);/.source,
  ].join('|'), 'y');
  let at = 0;
  for (;;) {
    at += /^\s*/.exec(body.slice(at))[0].length;
    if (at === body.length) break;
    statement.lastIndex = at;
    const m = statement.exec(body);
    assert.ok(m, `a statement of the native table the test cannot read: ${body.slice(at, at + 80)}`);
    at = statement.lastIndex;
    if (m[1]) put(Number(m[1]), (m[2] ? 0x100 : 0) + Number(m[3]));
    if (m[4]) {
      const [, base, from] = /^(?:(0x[0-9A-Fa-f]+) \+ \(code - (\d+)\))?/.exec(m[6]);
      for (let code = Number(m[4]); code <= Number(m[5]); ++code) put(code, base ? Number(base) + code - Number(from) : code);
    }
  }
  for (const m of source.matchAll(/t\[(\d+)\] = (?:E0 \| )?0x[0-9A-Fa-f]+;\s*\/\/ (KEY_\w+)/g)) names.set(m[2], table.get(Number(m[1])));
  return { table, names };
}

test('the page gives these keys the scan codes the recorder and the mouse use', () => {
  const { names } = nativeTable();
  for (const [code, , , , linux] of MORE_KEYS) {
    const { scan, ext } = scanFromCode(code);
    assert.deepEqual(names.get(linux), { scan, ext }, `${code} is ${linux}`);
  }
});

test('every key the native table knows has a name on the page, and every key the page names the native table knows', () => {
  const { table } = nativeTable();
  // Spot checks that the reader follows the loops and the later assignments.
  assert.deepEqual(table.get(30), { scan: 0x1e, ext: 0 }, 'KEY_A');
  assert.deepEqual(table.get(69), { scan: 0x45, ext: 1 }, 'KEY_NUMLOCK');
  assert.deepEqual(table.get(183), { scan: 0x64, ext: 0 }, 'KEY_F13');
  assert.deepEqual(table.get(194), { scan: 0x76, ext: 0 }, 'KEY_F24');
  const native = new Set([...table.values()].map(({ scan, ext }) => scan * 2 + ext));
  for (const [linux, { scan, ext }] of table) {
    assert.doesNotMatch(keyName(scan, ext), /^Key 0x|\(E0\)/, `Linux key ${linux}: scan 0x${scan.toString(16)}${ext ? ' (E0)' : ''}`);
  }
  for (const { code, scan, ext } of namedKeys()) {
    assert.ok(native.has(scan * 2 + ext), `${code}: 0x${scan.toString(16)}${ext ? ' (E0)' : ''} is not a code of the native table`);
  }
  // The JIS keypad comma has no KeyboardEvent.code: named, offered to buttons.
  assert.equal(keyName(0x5c, 0), 'Num , (JIS)');
  assert.match(keyName(0x5c, 1), /^Right (Win|Super)$/, 'the extended twin is the right meta key');
  assert.ok(assignableKeys().some((k) => k.scan === 0x5c && k.ext === 0 && k.name === 'Num , (JIS)'));
});
