#pragma once

// Reading the device-list block that the library's dcDevices fills: a 2-byte little-endian
// count, then records of 2105 bytes. The count is bounded to 20 records and to the records
// the block actually holds; text fields are cut at their field's end when they carry no
// terminator, so a damaged block can never make the reader run past it.

#include "device/device_info.h"

#include <QByteArray>
#include <QList>

namespace kelv {

// The count of records to read: the block's count, at most 20 and at most the number of
// whole records in the block.
int deviceListCount(const QByteArray &block);

// Record index (0-based) of the block; index must be below deviceListCount(block).
DeviceInfo deviceListRecord(const QByteArray &block, int index);

// Every record up to deviceListCount(block), in block order.
QList<DeviceInfo> parseDeviceList(const QByteArray &block);

// An 8-bit text field: bytes up to the first NUL (or the field's end), decoded as UTF-8.
QString deviceTextField(const char *field, int size);
// A UTF-16 little-endian field: units up to the first NUL (or the field's end).
QString deviceWideField(const char *field, int size);

} // namespace kelv
