#pragma once

namespace kelv {

class AppHost;
class SettingsHost;
class Dispatcher;
class devices_handler;

// Each command family registers its handlers in one place. Handlers run on
// the Qt main thread; a missing required member, like an unknown command,
// gets no reply.

// getDevicesList, readDevicesProp, writeDevicesProp, readByAddr, writeByAddr,
// notifyDevice, isPropEmpty, cleanMacroByAddr, writeMacroByAddr.
// devices may be null (no device manager): handlers then behave as with a
// missing device library.
void registerDeviceCommands(Dispatcher &dispatcher, devices_handler *devices);

// queryProfile, nodeCounterProfile, modifyProfile, modifyProfileEx,
// modifyRemoveProfile, modifyAddProfile, modifyReplaceProfile,
// modifyReplaceProfileEx, resetProfile, queryHexByte, savexml, saveXmlAs; and
// queryExportFile.
void registerProfileCommands(Dispatcher &dispatcher, SettingsHost &host);

// getConf, setConf, closeApp, confChanged, checkUpdate, startRecord,
// stopRecord, modifyMouseSpeed, modifyMouseScrollLines, modifyMouseDoubleClick,
// loadurl, goback, goforward, openUrl, saveFileDialog, openFileDialog,
// openFileDialogExe; and getSessionInfo, setAutostart, getRunningBindings.
void registerSettingsCommands(Dispatcher &dispatcher, AppHost &host);

} // namespace kelv
