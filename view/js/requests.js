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
  reset: (srcFilePath, desFilePath) => command('resetProfile', { srcFilePath, desFilePath }),
  save: () => command('savexml'),
  exportNode: (srcFilePath, desFilePath, xpath) => command('saveXmlAs', { srcFilePath, desFilePath, xpath }),
  importInto: (srcFilePath, desFilePath, srcXpath, desXpath) =>
    command('modifyReplaceProfileEx', { srcFilePath, desFilePath, srcXpath, desXpath }),
};

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
