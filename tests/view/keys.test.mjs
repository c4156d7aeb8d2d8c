import { test } from 'node:test';
import assert from 'node:assert/strict';
import { keyName, scanFromCode, comboLabel, qtSequenceFromEvent, assignableKeys, modifierBits } from '../../view/js/keys.js';

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
