import { test } from 'node:test';
import assert from 'node:assert/strict';
import { formatByteList, parseByteList, hexToRgb, rgbToHex, truncateUtf8, u16le, putU16le } from '../../view/js/bytes.js';

test('byte lists read and write like the device commands', () => {
  assert.deepEqual(parseByteList('0x01,0xff,0x10'), [1, 255, 16]);
  assert.deepEqual(parseByteList('1f, 0X0A'), [0x1f, 0x0a]);
  assert.deepEqual(parseByteList(''), []);
  assert.equal(formatByteList([1, 255, 16]), '0x01,0xff,0x10');
  assert.equal(formatByteList([]), '');
  const round = [0, 7, 128, 255];
  assert.deepEqual(parseByteList(formatByteList(round)), round);
});

test('garbled byte lists and out-of-range bytes are refused', () => {
  assert.throws(() => parseByteList('0x01,,0x02'), RangeError);
  assert.throws(() => parseByteList('0x100'), RangeError);
  assert.throws(() => parseByteList('writeDevicesProp failed!'), RangeError);
  assert.throws(() => formatByteList([256]), RangeError);
  assert.throws(() => formatByteList([-1]), RangeError);
  assert.throws(() => formatByteList([1.5]), RangeError);
});

test('little-endian numbers and colours', () => {
  const b = [0, 0];
  putU16le(b, 0, 26000);
  assert.deepEqual(b, [0x90, 0x65]);
  assert.equal(u16le(b, 0), 26000);
  assert.equal(rgbToHex(0x39, 0xa7, 0xda), '#39a7da');
  assert.deepEqual(hexToRgb('#39A7DA'), [0x39, 0xa7, 0xda]);
  assert.throws(() => hexToRgb('#39a7d'), RangeError);
});

test('UTF-8 truncation never cuts a character', () => {
  assert.equal(truncateUtf8('abc', 2), 'ab');
  assert.equal(truncateUtf8('宏宏', 5), '宏'); // 3 bytes each
  assert.equal(truncateUtf8('宏宏', 6), '宏宏');
});
