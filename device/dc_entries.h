#pragma once

// The device library's entry points, in lookup order. Private to device/: only the device
// manager and its firmware session call the library.

#include "libdc/libdc.h"

#include <QString>

namespace kelv {

// An entry stays null when the library or the name is missing; every caller tests it before
// use (null counts as failure).
struct DcEntries
{
    DcFnDeviceExist dcDeviceExist = nullptr;
    DcFnDevices dcDevices = nullptr;
    DcFnOnDeviceEvent dcOnDeviceEvent = nullptr;
    DcFnOnDeviceData dconDeviceData = nullptr;
    DcFnAsk dcAsk = nullptr;
    DcFnReset dcReset = nullptr;
    DcFnNotify dcNotify = nullptr;
    DcFnRead dcRead = nullptr;
    DcFnWrite dcWrite = nullptr;
    DcFnReadProp dcReadProp = nullptr;
    DcFnWriteProp dcWriteProp = nullptr;
    DcFnScriptOut dcScriptOut = nullptr;
    DcFnIDWrite dcIDWrite = nullptr;
    DcFnRebootRom dcRebootRom = nullptr;
    DcFnFinishUpdateRom dcFinishUpdateRom = nullptr;
    DcFnCheckRom dcCheckRom = nullptr;
    DcFnBornRom dcBornRom = nullptr;
    DcFnEraseRom dcEraseRom = nullptr;
};

// The one conversion of a hardware ID to the library's NUL-terminated UTF-16 argument.
inline const char16_t *dcText(const QString &text)
{
    return reinterpret_cast<const char16_t *>(text.utf16());
}

} // namespace kelv
