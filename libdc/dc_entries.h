#pragma once

// The device library's eighteen entry points as one table, in lookup order. Filled either
// from the library loaded into this process or from the 32-bit host process
// (dc_host_client.h); an entry stays null when the library or the name is missing, and
// every caller tests it before use (null counts as failure).

#include "libdc/libdc.h"

#include <cstddef>

namespace kelv {

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

constexpr std::size_t kDcEntryCount = 18;

// Calls visit(name, entry) for each entry of the table in lookup order; entry is a
// reference to the table's function pointer (const when the table is).
template <typename Table, typename Visit> void forEachDcEntry(Table &t, Visit &&visit)
{
    visit("dcDeviceExist", t.dcDeviceExist);
    visit("dcDevices", t.dcDevices);
    visit("dcOnDeviceEvent", t.dcOnDeviceEvent);
    visit("dconDeviceData", t.dconDeviceData);
    visit("dcAsk", t.dcAsk);
    visit("dcReset", t.dcReset);
    visit("dcNotify", t.dcNotify);
    visit("dcRead", t.dcRead);
    visit("dcWrite", t.dcWrite);
    visit("dcReadProp", t.dcReadProp);
    visit("dcWriteProp", t.dcWriteProp);
    visit("dcScriptOut", t.dcScriptOut);
    visit("dcIDWrite", t.dcIDWrite);
    visit("dcRebootRom", t.dcRebootRom);
    visit("dcFinishUpdateRom", t.dcFinishUpdateRom);
    visit("dcCheckRom", t.dcCheckRom);
    visit("dcBornRom", t.dcBornRom);
    visit("dcEraseRom", t.dcEraseRom);
}

} // namespace kelv
