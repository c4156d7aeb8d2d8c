import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import * as pf from '../../view/js/profile.js';
import { parseXml } from '../../view/js/xml.js';
import { factoryButtons, factoryLighting, factoryPerformance } from '../../view/js/devicemap.js';

const here = new URL('.', import.meta.url);
const factoryText = readFileSync(new URL('../../resources/profiles/configuration.xml', here), 'utf8');
const pageText = readFileSync(new URL('../../view/xml/configuration.xml', here), 'utf8');

test('the factory profile and the page profile are the same valid document', () => {
  assert.equal(pageText, factoryText);
  const m = pf.profileFromXml(factoryText);
  assert.equal(m.repaired, false, 'the factory profile needs no repair');
  assert.equal(m.modes.length, 1);
  assert.equal(m.current, '0');
  const mode = m.modes[0];
  assert.deepEqual(mode.performance, factoryPerformance());
  assert.deepEqual(mode.buttons, factoryButtons());
  assert.deepEqual(mode.lighting, factoryLighting());
  // The program monitor reads /conf/modeSetting/modes/mode with index and bindingProcess.
  const node = parseXml(factoryText).children[0].children[0].children[0];
  assert.equal(node.name, 'mode');
  assert.equal(node.attrs.index, '0');
  assert.equal(node.attrs.bindingProcess, '');
});

test('a model written out reads back unchanged', () => {
  const m = pf.profileFromXml(factoryText);
  m.modes.push(pf.newMode('3', 'Shooter "pro" & <co>', m.modes[0]));
  m.modes[1].bindingProcess = '/usr/games/run game';
  m.modes[1].performance.stages[2].dpi = 2450;
  m.modes[1].buttons[4] = { type: 5, p1: 2, p2: 3, p3: 10 };
  m.current = '3';
  m.macros.push({ slot: 2, name: 'Reload', repeat: 3, count: 10, steps: [{ kind: 'down', scan: 19, ext: 0 }, { kind: 'delay', ms: 40 }, { kind: 'up', scan: 19, ext: 0 }] });
  m.system.pointerSpeed = '12';
  const back = pf.profileFromXml(pf.profileToXml(m));
  assert.equal(back.repaired, false);
  delete m.repaired;
  delete back.repaired;
  assert.deepEqual(back, m);
  assert.equal(pf.activeMode(back).name, 'Shooter "pro" & <co>');
});

test('system mouse values the sliders cannot hold read as never set', () => {
  const read = (attrs) => pf.profileFromXml(factoryText.replace(/<system[^>]*\/>/, `<system ${attrs}/>`));
  const odd = read('pointerSpeed="99" scrollLines="0" doubleClick="15"');
  assert.deepEqual(odd.system, { pointerSpeed: '', scrollLines: '', doubleClick: '' });
  assert.equal(odd.repaired, true, 'written back as never set');
  assert.deepEqual(read('pointerSpeed="abc" scrollLines="-3" doubleClick="2.5"').system, { pointerSpeed: '', scrollLines: '', doubleClick: '' });
  const kept = read('pointerSpeed="20" scrollLines="1" doubleClick="0"');
  assert.deepEqual(kept.system, { pointerSpeed: '20', scrollLines: '1', doubleClick: '0' });
  assert.equal(kept.repaired, false);
  assert.deepEqual(read('pointerSpeed="" scrollLines="" doubleClick=""').system, { pointerSpeed: '', scrollLines: '', doubleClick: '' });
});

test('a mode element holds only what modifyProfileEx needs to replace', () => {
  const m = pf.profileFromXml(factoryText);
  const content = pf.modeContentXml(m.modes[0]);
  assert.ok(content.startsWith('<performance '));
  assert.ok(!content.includes('<mode'));
  assert.equal(pf.modeXpath('2'), "/conf/modeSetting/modes/mode[@index='2']");
});

test('a damaged document is repaired with factory values, never with values the mouse refuses', () => {
  const m = pf.profileFromXml(`<conf><modeSetting current="9"><modes>
    <mode index="0" name="A"><performance stageCount="12" activeStage="7" pollingRate="9" liftOff="0" debounce="1" angleSnap="x" motionSync="1">
      <stage index="0" dpi="99999" color="red"/><stage index="9" dpi="800" color="#000000"/></performance>
      <buttons><button index="0" type="2" p1="0" p2="0" p3="0"/><button index="1" type="1" p1="2" p2="0" p3="0"/></buttons>
      <lighting effect="12" color="#12345" brightness="101" speed="0"/></mode>
    <mode index="0" name="duplicate"/></modes></modeSetting>
    <macros><macro slot="11" name="x"/><macro slot="1" name="m"><step kind="down" code="30" ext="0"/><step kind="jump"/></macro></macros></conf>`);
  assert.equal(m.repaired, true);
  assert.equal(m.current, '0');
  const p = m.modes[0].performance;
  assert.equal(p.stageCount, 5);
  assert.equal(p.activeStage, 1);
  assert.equal(p.pollingRate, 4);
  assert.equal(p.liftOff, 2);
  assert.equal(p.debounce, 4);
  assert.equal(p.angleSnap, 0);
  assert.equal(p.stages[0].dpi, 26000);
  assert.equal(p.stages[0].color, '#ff0000');
  assert.deepEqual(m.modes[0].buttons[0], factoryButtons()[0]);
  assert.deepEqual(m.modes[0].lighting, factoryLighting());
  assert.equal(m.modes[1].index, '1', 'a duplicate index gets a new one');
  assert.deepEqual(m.macros.map((x) => x.slot), [1]);
  assert.deepEqual(m.macros[0].steps, [{ kind: 'down', scan: 30, ext: 0 }]);
});

test('a document that is not a profile is refused', () => {
  assert.throws(() => pf.profileFromXml('<root/>'), /conf/);
  assert.throws(() => pf.profileFromXml('<conf>'));
  const empty = pf.profileFromXml('<conf/>');
  assert.equal(empty.modes.length, 1);
  assert.equal(empty.repaired, true);
});

test('mode helpers', () => {
  const m = pf.profileFromXml(factoryText);
  m.modes.push(pf.newMode('4', 'B'), pf.newMode('7', 'C'));
  assert.equal(pf.nextModeIndex(m.modes), 8);
  assert.equal(pf.neighbourMode(m, 1).index, '4');
  assert.equal(pf.neighbourMode(m, -1).index, '7');
  m.current = '7';
  assert.equal(pf.neighbourMode(m, 1).index, '0');
  m.modes[1].buttons[3] = { type: 5, p1: 4, p2: 0, p3: 0 };
  m.modes[2].devices = { 'RATBAG\\usb&Vid_1&Pid_2&Rev_0': { performance: { stages: [] }, buttons: [{ type: 1, p1: 1, p2: 0, p3: 0 }, { type: 5, p1: 4, p2: 0, p3: 0 }], lighting: [] } };
  assert.deepEqual(pf.macroUsers(m, 4), [{ mode: '4', button: 3, key: null }, { mode: '7', button: 1, key: 'RATBAG\\usb&Vid_1&Pid_2&Rev_0' }]);
  m.macros.push({ slot: 0, name: '', repeat: 0, count: 1, steps: [] });
  assert.equal(pf.freeMacroSlot(m), 1);
  assert.equal(pf.nameFromPath('C:\\x\\My Mode.pfd'), 'My Mode');
  assert.equal(pf.nameFromPath('/home/u/fast.PFD'), 'fast');
});

test('a mouse of its own shape keeps its settings in a section of each mode, read back as written', () => {
  const m = pf.profileFromXml(factoryText);
  m.device = 'RATBAG\\usb&Vid_046d&Pid_c539&Rev_0';
  m.modes[0].devices[m.device] = {
    performance: { stageCount: 3, activeStage: 1, stages: [{ dpi: 800 }, { dpi: 1600 }, { dpi: 3200 }], pollingRate: 7, defaultStage: 0, disabledStages: 260 },
    buttons: [{ type: 7, p1: 9, p2: 0, p3: 0 }, { type: 255, p1: 0, p2: 0, p3: 0 }],
    lighting: [{ effect: 3, color: '#00ff00', brightness: 40, speed: 6, duration: 5000 }],
  };
  const text = pf.profileToXml(m);
  assert.match(text, /<device id="RATBAG\\usb&amp;Vid_046d&amp;Pid_c539&amp;Rev_0"><performance stageCount="3" activeStage="1" pollingRate="7" defaultStage="0" disabledStages="260">/);
  const back = pf.profileFromXml(text);
  assert.equal(back.repaired, false);
  assert.equal(back.device, m.device);
  assert.deepEqual(back.modes[0].devices, m.modes[0].devices);
  assert.deepEqual(pf.newMode('9', 'copy', back.modes[0]).devices, m.modes[0].devices, 'a new mode copies them');
  assert.equal(pf.modeSettings(back.modes[0], m.device), back.modes[0].devices[m.device]);
  assert.equal(pf.modeSettings(back.modes[0], null), back.modes[0]);
  assert.equal(pf.modeSettings(back.modes[0], 'RATBAG\\other'), null);
  // Broken entries are left out and the document is repaired; the rest stays.
  const broken = text.replace('<stage index="1" dpi="1600"/>', '<stage index="1" dpi="0"/>')
    .replace('<button index="0" type="7" p1="9" p2="0" p3="0"/>', '<button index="0" type="7" p1="900" p2="0" p3="0"/>')
    .replace('effect="3" color="#00ff00"', 'effect="3" color="green"');
  const fixed = pf.profileFromXml(broken);
  assert.equal(fixed.repaired, true);
  const d = fixed.modes[0].devices[m.device];
  assert.deepEqual(d.performance.stages, [{ dpi: 800 }], 'stages stop at the first unreadable one');
  assert.deepEqual(d.buttons, []);
  assert.deepEqual(d.lighting, []);
  assert.equal(d.performance.pollingRate, 7);
  // A macro a section's button runs travels with an exported mode and finds a free slot on import.
  const macro = { slot: 4, name: 'Reload', repeat: 0, count: 1, steps: [{ kind: 'down', scan: 19, ext: 0 }, { kind: 'up', scan: 19, ext: 0 }] };
  m.macros.push(macro);
  m.modes[0].devices[m.device].buttons[1] = { type: 5, p1: 4, p2: 0, p3: 0 };
  assert.deepEqual(pf.usedMacros(m, m.modes[0]).map((x) => x.slot), [4]);
  const fresh = pf.profileFromXml(factoryText);
  fresh.macros.push({ ...macro, slot: 0, name: 'Other' });
  const placed = pf.placeImportedMacros(fresh, m.modes[0].buttons, [macro], m.modes[0].devices);
  assert.deepEqual(placed.devices[m.device].buttons[1], { type: 5, p1: 1, p2: 0, p3: 0 });
  assert.deepEqual(placed.added.map((x) => x.slot), [1]);
});

test('imported macros take free slots, the buttons follow them, one the profile has keeps its slot', () => {
  const m = pf.profileFromXml(factoryText);
  const steps = (scan) => [{ kind: 'down', scan, ext: 0 }, { kind: 'delay', ms: 30 }, { kind: 'up', scan, ext: 0 }];
  const mac = (slot, name, scan) => ({ slot, name, repeat: 0, count: 1, steps: steps(scan) });
  m.macros.push(mac(0, 'Reload', 19), mac(1, 'Other', 20));
  const buttons = factoryButtons();
  buttons[3] = { type: 5, p1: 5, p2: 0, p3: 0 }; // Reload, as the profile has it
  buttons[4] = { type: 5, p1: 3, p2: 1, p3: 0 }; // new
  buttons[7] = { type: 5, p1: 6, p2: 0, p3: 0 }; // a slot the file does not carry (older file)
  const placed = pf.placeImportedMacros(m, buttons, [mac(3, 'Jump', 57), mac(5, 'Reload', 19)]);
  assert.deepEqual(placed.added, [mac(2, 'Jump', 57)]);
  assert.deepEqual(placed.buttons[3], { type: 5, p1: 0, p2: 0, p3: 0 });
  assert.deepEqual(placed.buttons[4], { type: 5, p1: 2, p2: 1, p3: 0 });
  assert.deepEqual(placed.buttons[7], buttons[7]);
  assert.equal(placed.missing, 0);
  // No free slot: the button takes its factory action.
  for (let s = 2; s < 8; s++) m.macros.push(mac(s, `M${s}`, 30 + s));
  const full = pf.placeImportedMacros(m, buttons, [mac(3, 'Jump', 57)]);
  assert.equal(full.missing, 1);
  assert.deepEqual(full.added, []);
  assert.deepEqual(full.buttons[4], factoryButtons()[4]);
});

test('an exported mode element reads back with its name, settings and macros; anything else is refused', () => {
  const m = pf.profileFromXml(factoryText);
  m.modes[0].name = 'Fast';
  m.modes[0].lighting.effect = 4;
  m.modes[0].buttons[2] = { type: 5, p1: 1, p2: 0, p3: 0 };
  m.macros.push({ slot: 1, name: 'Go', repeat: 2, count: 1, steps: [{ kind: 'down', scan: 30, ext: 0 }] });
  const text = `<mode index="0" name="Fast" bindingProcess="">${pf.modeExportContentXml(m, m.modes[0])}</mode>`;
  const read = pf.modeFromExport(parseXml(text));
  assert.equal(read.name, 'Fast');
  assert.equal(read.lighting.effect, 4);
  assert.deepEqual(read.macros, m.macros);
  assert.throws(() => pf.modeFromExport(parseXml('<h code="1"/>')), /no mode settings/);
  assert.equal(pf.uniqueModeName(m, 'Fast'), 'Fast (2)');
  m.modes.push(pf.newMode('1', 'Fast (2)'));
  assert.equal(pf.uniqueModeName(m, 'Fast'), 'Fast (3)');
  assert.equal(pf.uniqueModeName(m, 'Slow'), 'Slow');
});

test('the recorder settings live on <macros>; a document without them keeps the defaults unrepaired', () => {
  assert.deepEqual(pf.profileFromXml(factoryText).recording, { delays: 'recorded', fixedMs: 50, stopKey: 'esc' });
  const m = pf.profileFromXml('<conf><macros recordDelays="fixed" recordFixedMs="15" recordStopKey="none"/></conf>');
  assert.deepEqual(m.recording, { delays: 'fixed', fixedMs: 15, stopKey: 'none' });
  const bad = pf.profileFromXml(factoryText.replace('<macros />', '<macros recordDelays="slow" recordFixedMs="-4" />'));
  assert.deepEqual(bad.recording, { delays: 'recorded', fixedMs: 50, stopKey: 'esc' });
  assert.equal(bad.repaired, true);
});
