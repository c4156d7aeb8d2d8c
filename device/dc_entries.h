#pragma once

// The device library's entry points (the table of libdc/dc_entries.h) as the device manager
// and its firmware session call them. Private to device/: nothing else calls the library.

#include "libdc/dc_entries.h"

#include <QString>

namespace kelv {

// The one conversion of a hardware ID to the library's NUL-terminated UTF-16 argument.
inline const char16_t *dcText(const QString &text)
{
    return reinterpret_cast<const char16_t *>(text.utf16());
}

} // namespace kelv
