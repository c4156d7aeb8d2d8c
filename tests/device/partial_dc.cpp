// A stand-in device library for the manager's failure paths: it exports only dcDeviceExist,
// dcDevices and dcRead, so every other entry point is missing. What dcDevices lists is
// chosen by the environment variable PARTIAL_DC_LIST:
//   (unset)  one record "PARTIAL"
//   dup      two records with the same DeviceID "DUP" (SN "A", then "B")
//   many     a full block of 20 records "DEV00".."DEV19" whose count field says 25
//   waits    first "WAITS" (hardware ID "waits-id") whose record says its calls may wait for
//            a daemon, and "PARTIAL"; every later listing only "PARTIAL" (WAITS went away)
// dcRead fills the whole 2048-byte block whatever size it is given, as a careless library
// might: at address 0x10 byte 100 is 1, everywhere else the block stays zero.

#include "libdc/libdc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool g_waitsListed = false;

void fillRecord(uint8_t *record, const char *deviceId, const char *sn,
                const char *id = "partial-id", uint8_t flags = 0)
{
    std::memset(record, 0, DC_RECORD_SIZE);
    std::memcpy(record + DC_RECORD_DEVICE_ID, deviceId, std::strlen(deviceId));
    std::memcpy(record + DC_RECORD_VERSION, "0.9", 3);
    std::memcpy(record + DC_RECORD_SN, sn, std::strlen(sn));
    std::memcpy(record + DC_RECORD_MASK, "01", 2);
    record[DC_RECORD_FLAGS] = flags;
    const char *path = "partial-path";
    for (size_t i = 0; i < std::strlen(path); ++i)
        record[DC_RECORD_DEVICE_PATH + 2 * i] = uint8_t(path[i]);
    for (size_t i = 0; i < std::strlen(id); ++i)
        record[DC_RECORD_HARDWARE_ID + 2 * i] = uint8_t(id[i]);
}

} // namespace

extern "C" {

int32_t dcDeviceExist(const char16_t *)
{
    return 0;
}

int32_t dcDevices(DcFilter, uint8_t *block, uint32_t size)
{
    if (size < DC_LIST_BLOCK_SIZE)
        return 2;
    const char *mode = std::getenv("PARTIAL_DC_LIST");
    uint16_t count = 1;
    if (mode && std::strcmp(mode, "dup") == 0) {
        fillRecord(block + 2, "DUP", "A");
        fillRecord(block + 2 + DC_RECORD_SIZE, "DUP", "B");
        count = 2;
    } else if (mode && std::strcmp(mode, "many") == 0) {
        for (int i = 0; i < 20; ++i) {
            char name[8];
            std::snprintf(name, sizeof name, "DEV%02d", i);
            fillRecord(block + 2 + i * DC_RECORD_SIZE, name, "S");
        }
        count = 25;
    } else if (mode && std::strcmp(mode, "waits") == 0 && !g_waitsListed) {
        fillRecord(block + 2, "WAITS", "W1", "waits-id", DC_FLAG_CALLS_WAIT);
        fillRecord(block + 2 + DC_RECORD_SIZE, "PARTIAL", "P1");
        count = 2;
        g_waitsListed = true;
    } else {
        fillRecord(block + 2, "PARTIAL", "P1");
    }
    block[0] = uint8_t(count & 0xff);
    block[1] = uint8_t(count >> 8);
    return 0;
}

int32_t dcRead(const char16_t *, const char16_t *, uint32_t, uint8_t *buf, uint32_t,
               uint32_t address)
{
    std::memset(buf, 0, DC_TRANSFER_SIZE);
    if (address == 0x10)
        buf[100] = 1;
    return 0;
}

} // extern "C"
