// Request texts for the native side. Device and profile commands are JSON
// objects named by "funcname"; the window requests are exact texts.
import { formatByteList } from './bytes.js';

export const MINIMISE = '{"funcname":"minisizeWindow"}';
export const MAXIMISE = '{"funcname":"maxsizeWindow"}';
export const RESTORE = '{"funcname":"restoreWindow"}';

export function moveWindow(dx, dy, width, height) {
  const ints = [dx, dy, width, height].map((v) => Math.round(Number(v)));
  if (ints.some((v) => !Number.isFinite(v))) throw new RangeError('moveWindow needs four numbers');
  return `moveWindow:${ints.join(',')}`;
}

export function command(funcname, members = {}) {
  return JSON.stringify({ funcname, ...members });
}

function dev(device) {
  if (!device || !device.HardwareID) throw new Error('no device');
  return { HardwareID: device.HardwareID, DevicePath: device.DevicePath ?? '' };
}

// PARAMADDRESS travels as a hexadecimal text ("1000").
export function hexAddress(address) {
  if (!Number.isInteger(address) || address < 0 || address > 0xffff) throw new RangeError(`address ${address}`);
  return address.toString(16);
}

export function readProp(device, id, size) {
  return command('readDevicesProp', { ...dev(device), PARAMSIZE: size, PARAMID: id });
}

export function writeProp(device, id, bytes) {
  return command('writeDevicesProp', { ...dev(device), PARAMSIZE: bytes.length, PARAMID: id, PARAMDATA: formatByteList(bytes) });
}

// Replies of the device commands that mean the command was carried out.
export const DEVICE_DONE = Object.freeze({
  writeProp: 'writeDevicesProp success!',
  notify: 'notifyDevice success!',
  cleanMacro: 'cleanMacroByAddr success!',
  // writeMacroByAddr: 'true'; the slot address in hexadecimal when the slot was taken.
  writeMacro: 'true',
});

// isPropEmpty answers 'true' or 'false'; anything else is a failure text.
export function emptyReply(reply) {
  if (reply === 'true') return true;
  if (reply === 'false') return false;
  return null;
}

export function readByAddr(device, address, size) {
  return command('readByAddr', { ...dev(device), PARAMSIZE: size, PARAMADDRESS: hexAddress(address) });
}

export function isPropEmpty(device, address, size) {
  return command('isPropEmpty', { ...dev(device), PARAMSIZE: size, PARAMADDRESS: hexAddress(address) });
}

export function cleanMacroByAddr(device, address, size) {
  return command('cleanMacroByAddr', { ...dev(device), PARAMSIZE: size, PARAMADDRESS: hexAddress(address) });
}

export function writeMacroByAddr(device, address, bytes) {
  return command('writeMacroByAddr', {
    ...dev(device), PARAMSIZE: bytes.length, PARAMADDRESS: hexAddress(address), PARAMDATA: formatByteList(bytes),
  });
}

export function notifyDevice(device, type, data) {
  return command('notifyDevice', { HardwareID: dev(device).HardwareID, NotifyType: type, NotifyData: data });
}

// Profile commands; paths are relative to the program folder except the
// export file chosen in a dialog.
export const profile = {
  query: (filePath, xpath) => command('queryProfile', { filePath, xpath }),
  count: (filePath, xpath) => command('nodeCounterProfile', { filePath, xpath }),
  replaceContent: (filePath, xpath, subTreeString) => command('modifyProfileEx', { filePath, xpath, subTreeString }),
  replaceDone: 'modifyProfileEx success',
  reset: (srcFilePath, desFilePath) => command('resetProfile', { srcFilePath, desFilePath }),
  save: () => command('savexml'),
  saveDone: 'save xml success',
  resetDone: 'resetProfile success',
  exportNode: (srcFilePath, desFilePath, xpath) => command('saveXmlAs', { srcFilePath, desFilePath, xpath }),
  exportDone: 'saveXmlAs success',
  importInto: (srcFilePath, desFilePath, srcXpath, desXpath) =>
    command('modifyReplaceProfileEx', { srcFilePath, desFilePath, srcXpath, desXpath }),
  importDone: 'modifyReplaceProfile success',
  // The exported element of an export file as XML text (no answer from a
  // program that does not know the command).
  readExport: (srcFilePath) => command('queryExportFile', { srcFilePath }),
};

// Program and desktop commands, each with the reply that means it was done.
export const deviceList = () => command('getDevicesList');

export const settings = {
  get: () => command('getConf'),
  set: (key, value) => command('setConf', { confKey: key, confValue: value }),
  setDone: 'modify conf sucess',
  bindingsChanged: () => command('confChanged'),
  bindingsChangedDone: 'confChanged',
  // The mode indices whose bound programs run (a JSON array of texts),
  // answered once the program monitor has looked.
  runningBindings: () => command('getRunningBindings'),
  checkUpdate: () => command('checkUpdate'),
  checkUpdateDone: 'checkUpdate success',
  close: () => command('closeApp'),
  // What the desktop allows (session type, recorder scope, hot keys) and autostart.
  session: () => command('getSessionInfo'),
  // setAutostart answers the new state: '1' on, '0' off; anything else is a failure.
  autostart: (enabled) => command('setAutostart', { enabled: enabled ? 1 : 0 }),
  autostartState: (reply) => (reply === '1' ? true : reply === '0' ? false : null),
};

export const recorder = {
  start: () => command('startRecord'),
  startDone: 'startRecord success!',
  stop: () => command('stopRecord'),
};

// The system mouse settings: page name -> command, its member, its reply.
const SYSTEM = {
  pointerSpeed: ['modifyMouseSpeed', 'speednum'],
  scrollLines: ['modifyMouseScrollLines', 'linenum'],
  doubleClick: ['modifyMouseDoubleClick', 'position'],
};
export const systemMouse = {
  set(kind, value) {
    const entry = SYSTEM[kind];
    if (!entry) throw new RangeError(`system setting ${kind}`);
    return command(entry[0], { [entry[1]]: value });
  },
  done: (kind) => `${SYSTEM[kind][0]} success`,
  // What the desktop holds now: {pointerSpeed, scrollLines, doubleClick (ms)}.
  read: () => command('getSystemMouse'),
};

// File dialogs answer the chosen path ("" or no answer when cancelled).
export const dialogs = {
  openProgram: () => command('openFileDialogExe'),
  openProfile: () => command('openFileDialog'),
  // fileName: the name the dialog proposes (a program that does not know the
  // member proposes none).
  saveProfile: (fileName = '') => command('saveFileDialog', fileName ? { fileName } : {}),
};

// A reply that is not the text meaning success is the failure's own text.
export function expectReply(reply, done) {
  if (reply !== done) throw new Error(String(reply ?? '') || 'empty answer');
  return reply;
}

// setConf answers the hot-key keys with one character: U+0001 registered.
export function hotKeyAccepted(reply) {
  return reply === '\u0001';
}

// getConf's showConf/testTool values carry ",<state character>" at the end.
export function splitHotKey(value) {
  const s = String(value ?? '');
  if (s.length >= 2 && s[s.length - 2] === ',' && (s.endsWith('\u0001') || s.endsWith('\u0000'))) {
    return { sequence: s.slice(0, -2), registered: s.endsWith('\u0001') };
  }
  return { sequence: s, registered: false };
}
