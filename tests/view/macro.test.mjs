import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as mc from '../../view/js/macro.js';

const A_DOWN = ['0', '1', '30', '0'];
const A_UP = ['0', '0', '30', '0'];

test('recorder items become steps; consecutive delays merge', () => {
  const steps = [];
  for (const item of [A_DOWN, ['2', '120', '0', '0'], A_UP, ['2', '40', '0', '0'], ['2', '10', '0', '0']]) {
    mc.appendStep(steps, mc.stepFromItem(item));
  }
  assert.deepEqual(steps, [
    { kind: 'down', scan: 30, ext: 0 }, { kind: 'delay', ms: 120 }, { kind: 'up', scan: 30, ext: 0 }, { kind: 'delay', ms: 50 },
  ]);
  assert.deepEqual(mc.stepFromItem(['0', '1', '29', '1']), { kind: 'down', scan: 29, ext: 1 });
  // Across midnight the time of day starts again: 23:59:59.000 to 00:00:00.250 is 1250 ms.
  assert.deepEqual(mc.stepFromItem(['2', '-86398750', '0', '0']), { kind: 'delay', ms: 1250 });
  assert.deepEqual(mc.stepFromItem(['2', '-1', '0', '0']), { kind: 'delay', ms: mc.MAX_DELAY_MS }); // a day less 1 ms: at most the longest delay
  assert.equal(mc.stepFromItem(['7', '1', '2', '3']), null);
  assert.equal(mc.stepFromItem(['0', '1', 'x', '0']), null);
  assert.equal(mc.stepFromItem(['0']), null);
});

test('a tidy recording drops releases of keys held at the start and releases keys still held', () => {
  const steps = [
    { kind: 'delay', ms: 5 }, { kind: 'up', scan: 28, ext: 0 }, // Enter still held from starting the recording
    { kind: 'delay', ms: 300 }, { kind: 'down', scan: 30, ext: 0 }, { kind: 'delay', ms: 20 },
    { kind: 'down', scan: 42, ext: 0 }, { kind: 'delay', ms: 20 }, { kind: 'up', scan: 30, ext: 0 }, { kind: 'delay', ms: 900 },
  ];
  assert.deepEqual(mc.tidyRecording(steps), [
    { kind: 'down', scan: 30, ext: 0 }, { kind: 'delay', ms: 20 }, { kind: 'down', scan: 42, ext: 0 },
    { kind: 'delay', ms: 20 }, { kind: 'up', scan: 30, ext: 0 }, { kind: 'delay', ms: 50 }, { kind: 'up', scan: 42, ext: 0 },
  ]);
});

test('macro bytes follow the slot layout', () => {
  const m = { name: 'Go', steps: [{ kind: 'down', scan: 0x1d, ext: 1 }, { kind: 'delay', ms: 300 }, { kind: 'up', scan: 0x1d, ext: 1 }] };
  const bytes = mc.encodeMacro(m);
  assert.equal(bytes.length, 32 + 9);
  assert.equal(bytes[0], 0x4d);
  assert.deepEqual(bytes.slice(1, 3), [3, 0]);
  assert.deepEqual(bytes.slice(3, 6), [0x47, 0x6f, 0]);
  assert.ok(bytes.slice(5, 32).every((b) => b === 0));
  assert.deepEqual(bytes.slice(32), [1, 0x1d, 1, 3, 0x2c, 0x01, 2, 0x1d, 1]);
  assert.deepEqual(mc.decodeMacro(bytes.concat(new Array(2048 - bytes.length).fill(0))), m);
});

test('delays above 65535 ms are split and read back as one', () => {
  const m = { name: '', steps: [{ kind: 'down', scan: 2, ext: 0 }, { kind: 'delay', ms: 70000 }, { kind: 'up', scan: 2, ext: 0 }] };
  const bytes = mc.encodeMacro(m);
  assert.equal(bytes[1], 4);
  assert.deepEqual(bytes.slice(35, 41), [3, 0xff, 0xff, 3, 0x71, 0x11]);
  assert.deepEqual(mc.decodeMacro(bytes).steps, m.steps);
});

test('names are cut to 29 UTF-8 bytes on a character boundary', () => {
  const bytes = mc.encodeMacro({ name: '宏'.repeat(12), steps: [{ kind: 'down', scan: 2, ext: 0 }] });
  assert.equal(mc.decodeMacro(bytes).name, '宏'.repeat(9)); // 27 bytes; a tenth would need 30
  const exact = mc.encodeMacro({ name: 'x'.repeat(29), steps: [{ kind: 'down', scan: 2, ext: 0 }] });
  assert.equal(mc.decodeMacro(exact).name, 'x'.repeat(29));
});

test('macros the mouse cannot hold are refused before writing', () => {
  assert.equal(mc.validateMacro({ name: '', steps: [] }), 'macro.error.empty');
  assert.equal(mc.validateMacro({ name: '', steps: [{ kind: 'delay', ms: 10 }] }), 'macro.error.empty');
  const long = [];
  for (let i = 0; i < 673; i++) long.push({ kind: i % 2 ? 'up' : 'down', scan: 30, ext: 0 });
  assert.equal(mc.validateMacro({ steps: long }), 'macro.error.tooLong');
  assert.equal(mc.validateMacro({ steps: long.slice(0, 672) }), '');
  assert.equal(mc.encodeMacro({ name: '', steps: long.slice(0, 672) }).length, 2048);
  assert.equal(mc.validateMacro({ steps: [{ kind: 'down', scan: 0, ext: 0 }] }), 'macro.error.key');
  assert.equal(mc.validateMacro({ steps: [{ kind: 'down', scan: 3, ext: 0 }, { kind: 'delay', ms: -1 }] }), 'macro.error.delay');
  assert.throws(() => mc.encodeMacro({ steps: [] }), RangeError);
});

test('bytes that are not a macro are reported, an empty slot is null', () => {
  assert.equal(mc.decodeMacro(new Array(2048).fill(0)), null);
  assert.throws(() => mc.decodeMacro([1, 0, 0]), /marker/);
  const bad = mc.encodeMacro({ name: '', steps: [{ kind: 'down', scan: 2, ext: 0 }] });
  bad[32] = 9;
  assert.throws(() => mc.decodeMacro(bad), /event type/);
  const count = mc.encodeMacro({ name: '', steps: [{ kind: 'down', scan: 2, ext: 0 }] });
  count[1] = 0xff; count[2] = 0x02;
  assert.throws(() => mc.decodeMacro(count), /count/);
});

test('editing steps', () => {
  let s = [{ kind: 'down', scan: 30, ext: 0 }, { kind: 'delay', ms: 10 }, { kind: 'up', scan: 30, ext: 0 }];
  s = mc.setDelay(s, 1, '250');
  assert.equal(s[1].ms, 250);
  assert.throws(() => mc.setDelay(s, 1, -5), RangeError);
  assert.throws(() => mc.setDelay(s, 1, 'abc'), RangeError);
  s = mc.insertKeyPress(s, 3, 0x39, 0);
  assert.deepEqual(s.slice(3).map((x) => x.kind), ['down', 'delay', 'up']);
  s = mc.insertDelay(s, 3, 80);
  assert.equal(s[3].ms, 80);
  s = mc.removeStep(s, 0);
  assert.equal(s.length, 6);
  assert.equal(mc.totalDuration(s), 250 + 80 + 50);
  assert.equal(mc.eventCount([{ kind: 'delay', ms: 0 }, { kind: 'delay', ms: 131071 }]), 3);
});

test('a typed number of repeats: an emptied field keeps the count, others go into 1 to 255', () => {
  for (const kept of ['', '  ', 'abc', undefined]) assert.equal(mc.readRepeatCount(kept), null, String(kept));
  assert.equal(mc.readRepeatCount('10'), 10);
  assert.equal(mc.readRepeatCount('2.6'), 3);
  assert.equal(mc.readRepeatCount('0'), 1);
  assert.equal(mc.readRepeatCount('300'), mc.MAX_REPEAT_COUNT);
});
