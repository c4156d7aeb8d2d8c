/*
 * libdc: the device library's C interface.
 *
 * The program loads the library at run time and looks the eighteen entry points up by name;
 * the typedefs below (DcFn...) are the types it casts them to. Every entry point returns a
 * 32-bit result, 0 meaning success (the other values are listed in DcResult). Strings are
 * NUL-terminated UTF-16 (char16_t). Every device call carries the product code 4118.
 * The Windows build is libdc.dll (LoadLibraryW, GetProcAddress), the Linux build libdc.so.
 *
 * What the simulated mouse behind this interface does (property numbers, memory layout,
 * notifications, events, data reports, the boot loader) is described in doc/device-map.md.
 */
#ifndef LIBDC_LIBDC_H
#define LIBDC_LIBDC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#include <uchar.h>
#endif

#if defined(_WIN32)
#if defined(LIBDC_BUILDING)
#define LIBDC_API __declspec(dllexport)
#else
#define LIBDC_API __declspec(dllimport)
#endif
#else
#define LIBDC_API __attribute__((visibility("default")))
#endif

/* The calling convention of the entry points and of both callbacks: C's own (cdecl), named
 * explicitly so that the library and the program agree whatever their compilers' defaults.
 * It matters only for 32-bit Windows builds (x86), where stdcall would be the other choice:
 * cdecl keeps the exported names undecorated ("dcDevices", not "_dcDevices@88") so they are
 * found by name, and the callbacks are plain C functions. On x86-64 and on Linux there is one
 * convention and DC_CALL changes nothing. A 32-bit program and library must both be 32-bit. */
#if defined(_WIN32) && !defined(_WIN64)
#define DC_CALL __cdecl
#else
#define DC_CALL
#endif

/* The product code passed with every device call (0x1016). */
#define DC_PRODUCT_CODE 4118u

/* The device-list block filled by dcDevices: a 2-byte count, then at most 20 records of
 * 2105 bytes; little-endian, no gaps. */
#define DC_LIST_BLOCK_SIZE 42102u
#define DC_LIST_MAX_RECORDS 20u
#define DC_RECORD_SIZE 2105u

/* Offsets and sizes inside one record. 8-bit text fields are NUL-padded; the UTF-16 fields
 * hold at most 255 units and a terminating NUL. */
#define DC_RECORD_DEVICE_ID 0u
#define DC_RECORD_DEVICE_ID_SIZE 40u
#define DC_RECORD_VERSION 40u
#define DC_RECORD_VERSION_SIZE 17u
#define DC_RECORD_SN 57u
#define DC_RECORD_SN_SIZE 14u
#define DC_RECORD_MASK 71u
#define DC_RECORD_MASK_SIZE 2u
#define DC_RECORD_RESERVED 73u
#define DC_RECORD_RESERVED_SIZE 1012u
/* Inside the reserved bytes, for ratbagd mice: the daemon's name (UTF-8) and model text,
 * NUL-padded; zero for the simulated mouse. */
#define DC_RECORD_NAME 73u
#define DC_RECORD_NAME_SIZE 128u
#define DC_RECORD_MODEL 201u
#define DC_RECORD_MODEL_SIZE 64u
/* Inside the reserved bytes: what the program must know to call the device (DC_FLAG_...);
 * zero for the simulated mouse. */
#define DC_RECORD_FLAGS 265u
/* The device's calls may wait for a daemon (a second or more): the program makes them away
 * from the thread that draws its window. Listing, presence and the properties 64 to 66 never
 * wait, whatever the flag says. */
#define DC_FLAG_CALLS_WAIT 0x01u
/* SN holds no serial number people could read: the daemon's name of the device, which changes
 * each time it is plugged in. */
#define DC_FLAG_SN_NOT_SERIAL 0x02u
#define DC_RECORD_DEVICE_PATH 1085u
#define DC_RECORD_HARDWARE_ID 1595u
#define DC_RECORD_UTF16_FIELD_SIZE 510u

/* Transfer buffers of dcRead/dcWrite/dcReadProp/dcWriteProp hold at most this many bytes. */
#define DC_TRANSFER_SIZE 2048u
/* dcBornRom writes at most this many bytes per chunk. */
#define DC_ROM_CHUNK_MAX 2000u

/* Results. */
enum DcResult {
    DC_OK = 0,
    DC_NOT_PRESENT = 1,   /* no plugged-in device has this hardware ID */
    DC_BAD_ARGUMENT = 2,  /* size, address, property, value or notification out of range */
    DC_WRONG_PRODUCT = 3, /* the product code is not 4118 */
    DC_DEVICE_FAULT = 4,  /* the device did not answer (a fault injected with dcsim) */
    DC_WRONG_MODE = 5,    /* a firmware call to the mouse, or a mouse call to the boot loader */
    DC_CHECK_FAILED = 6,  /* the ROM's CRC-32 differs, or finishing an unchecked ROM */
    DC_BUSY = 7,          /* another process held the device past the call's time limit */
    /* Real mice through ratbagd (doc/device-map.md, "Real mice"): */
    DC_REFUSED = 8,        /* the daemon refused the value; what the write changed was put back */
    DC_COMMIT_FAILED = 9,  /* the daemon signalled Resync after Commit: read the values again */
    DC_ACCESS_DENIED = 10, /* the daemon or the bus refused access */
    DC_STORE_FAILED = 11   /* what kelv keeps for the mouse (its macro slots) could not be
                              written to the user's data folder; nothing changed */
};

/* Properties every device answers besides its settings (read only). */
#define DC_PROP_DESCRIPTION 64u /* the device description: JSON text, NUL-padded */
#define DC_PROP_SERVICE_STATE                                                                      \
    65u                         /* the state of a device's service: hardware ID RATBAG\ (ratbagd), \
                                   SERVICES\ the list of every service (doc/device-map.md) */
#define DC_PROP_LAST_RESULT 66u /* the result of the last write call to the device */

/* The 20 filter words of dcDevices, passed by value. A non-zero word names a device
 * interface as (usage page << 16) | usage; a device is listed when one word names its
 * interface, or when every word is zero. */
typedef struct DcFilter
{
    uint32_t words[20];
} DcFilter;

/* What the data callback receives: the first member points at the report bytes. */
typedef struct DcDataRecord
{
    const uint8_t *data;
    uint32_t size;
} DcDataRecord;

/* Callbacks run on the library's own thread; both return true. The event value's low 16
 * bits are 1 (a device arrived) or 2 (a device was removed), its high 16 bits the device's
 * product id. The data record is valid only during the call. */
typedef bool(DC_CALL *DcEventCallback)(uint32_t event);
typedef bool(DC_CALL *DcDataCallback)(const DcDataRecord *record, uint32_t reserved);

/* Registration takes a pointer to a variable holding the callback (a callback holder); the
 * library copies the address out during the call. A holder holding null unregisters. */
LIBDC_API int32_t DC_CALL dcDeviceExist(const char16_t *id);
LIBDC_API int32_t DC_CALL dcDevices(DcFilter filter, uint8_t *block, uint32_t size);
LIBDC_API int32_t DC_CALL dcOnDeviceEvent(const DcEventCallback *holder);
LIBDC_API int32_t DC_CALL dconDeviceData(const char16_t *hardwareId, const char16_t *devicePath,
                                         uint32_t code, const DcDataCallback *holder);
/* Asks the device one question; the answer is NUL-terminated 8-bit text in answer (at most
 * size bytes). Questions: 1 firmware version, 2 serial number, 3 device mode ("mouse" or
 * "boot"). */
LIBDC_API int32_t DC_CALL dcAsk(const char16_t *id, const char16_t *sub, uint32_t code,
                                uint32_t question, char *answer, uint32_t size);
/* value 1: restart into the boot loader. */
LIBDC_API int32_t DC_CALL dcReset(const char16_t *id, const char16_t *sub, uint32_t code,
                                  uint16_t value, uint8_t *out, uint32_t reserved);
/* value: low byte notification type, high byte its data. *out (may be null) gets 1 when the
 * device acknowledged. */
LIBDC_API int32_t DC_CALL dcNotify(const char16_t *id, const char16_t *sub, uint32_t code,
                                   uint16_t value, uint8_t *out, uint32_t reserved);
LIBDC_API int32_t DC_CALL dcRead(const char16_t *id, const char16_t *sub, uint32_t code,
                                 uint8_t *buf, uint32_t size, uint32_t address);
LIBDC_API int32_t DC_CALL dcWrite(const char16_t *id, const char16_t *sub, uint32_t code,
                                  const uint8_t *buf, uint32_t size, uint32_t address);
LIBDC_API int32_t DC_CALL dcReadProp(const char16_t *id, const char16_t *sub, uint32_t code,
                                     uint8_t *buf, uint32_t size, uint32_t propId);
LIBDC_API int32_t DC_CALL dcWriteProp(const char16_t *id, const char16_t *sub, uint32_t code,
                                      const uint8_t *buf, uint32_t size, uint32_t propId);
/* Writes every property as one "prop <id> <hex bytes>" line (NUL-terminated 8-bit text, at
 * most size bytes including the NUL) into script. */
LIBDC_API int32_t DC_CALL dcScriptOut(const char16_t *id, const char16_t *sub, uint32_t code,
                                      char *script, uint32_t size);
/* Gives the device a new serial number (1 to 13 printable ASCII characters). */
LIBDC_API int32_t DC_CALL dcIDWrite(const char16_t *id, const char16_t *sub, uint32_t code,
                                    const char *serial);
/* Restarts the device without an update: the boot loader (or the mouse) goes away and the
 * mouse comes back with the firmware it had. */
LIBDC_API int32_t DC_CALL dcRebootRom(const char16_t *id, const char16_t *sub, uint32_t code);
LIBDC_API int32_t DC_CALL dcFinishUpdateRom(const char16_t *id, const char16_t *sub, uint32_t code);
LIBDC_API int32_t DC_CALL dcCheckRom(const char16_t *id, const char16_t *sub, uint32_t code,
                                     uint32_t length, uint32_t check);
LIBDC_API int32_t DC_CALL dcBornRom(const char16_t *id, const char16_t *sub, uint32_t code,
                                    const uint8_t *buf, uint32_t length, uint32_t offset);
LIBDC_API int32_t DC_CALL dcEraseRom(const char16_t *id, const char16_t *sub, uint32_t code);

/* Function types of the entry points, for run-time lookup. */
typedef int32_t(DC_CALL *DcFnDeviceExist)(const char16_t *);
typedef int32_t(DC_CALL *DcFnDevices)(DcFilter, uint8_t *, uint32_t);
typedef int32_t(DC_CALL *DcFnOnDeviceEvent)(const DcEventCallback *);
typedef int32_t(DC_CALL *DcFnOnDeviceData)(const char16_t *, const char16_t *, uint32_t,
                                           const DcDataCallback *);
typedef int32_t(DC_CALL *DcFnAsk)(const char16_t *, const char16_t *, uint32_t, uint32_t, char *,
                                  uint32_t);
typedef int32_t(DC_CALL *DcFnReset)(const char16_t *, const char16_t *, uint32_t, uint16_t,
                                    uint8_t *, uint32_t);
typedef int32_t(DC_CALL *DcFnNotify)(const char16_t *, const char16_t *, uint32_t, uint16_t,
                                     uint8_t *, uint32_t);
typedef int32_t(DC_CALL *DcFnRead)(const char16_t *, const char16_t *, uint32_t, uint8_t *,
                                   uint32_t, uint32_t);
typedef int32_t(DC_CALL *DcFnWrite)(const char16_t *, const char16_t *, uint32_t, const uint8_t *,
                                    uint32_t, uint32_t);
typedef int32_t(DC_CALL *DcFnReadProp)(const char16_t *, const char16_t *, uint32_t, uint8_t *,
                                       uint32_t, uint32_t);
typedef int32_t(DC_CALL *DcFnWriteProp)(const char16_t *, const char16_t *, uint32_t,
                                        const uint8_t *, uint32_t, uint32_t);
typedef int32_t(DC_CALL *DcFnScriptOut)(const char16_t *, const char16_t *, uint32_t, char *,
                                        uint32_t);
typedef int32_t(DC_CALL *DcFnIDWrite)(const char16_t *, const char16_t *, uint32_t, const char *);
typedef int32_t(DC_CALL *DcFnRebootRom)(const char16_t *, const char16_t *, uint32_t);
typedef int32_t(DC_CALL *DcFnFinishUpdateRom)(const char16_t *, const char16_t *, uint32_t);
typedef int32_t(DC_CALL *DcFnCheckRom)(const char16_t *, const char16_t *, uint32_t, uint32_t,
                                       uint32_t);
typedef int32_t(DC_CALL *DcFnBornRom)(const char16_t *, const char16_t *, uint32_t, const uint8_t *,
                                      uint32_t, uint32_t);
typedef int32_t(DC_CALL *DcFnEraseRom)(const char16_t *, const char16_t *, uint32_t);

#ifdef __cplusplus
}
#endif

#endif /* LIBDC_LIBDC_H */
