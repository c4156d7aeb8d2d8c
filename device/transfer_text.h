#pragma once

// The texts the device commands exchange with the page: the byte list of a read
// ("0x01,0xff,0x10"), the byte items of a write, and the 16 hex digits of a data report.

#include <QByteArray>
#include <QString>

namespace kelv {

// Every device transfer goes through one block of this many bytes.
constexpr int kTransferBlockSize = 2048;

// A requested byte count bounded to the transfer block: above 2048 gives 2048, below 0
// gives 0.
int boundedTransferSize(qint64 size);

// Bytes 0 .. size-1 of block as "0x" + two lowercase hex digits each, joined by ","; the
// empty text for size 0 or less. Bytes past the block's end are not listed.
QString byteListText(const QByteArray &block, int size);

// A zeroed 2048-byte block filled from text: items split at ",", items 0 .. size-1 parsed
// like strtol base 16 (empty items and missing items give 0), the low 8 bits stored at the
// item's index. Items past size, and past the block, are ignored.
QByteArray transferBlockFromText(const QString &text, int size);

// The first bytes of a data report as lowercase hex digits, two per byte in byte order.
QString dataHexText(const unsigned char *data, int size);

} // namespace kelv
