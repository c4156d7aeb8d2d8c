#include "platform/key_recorder.h"

namespace kelv::platform {

bool recordedScanCode(const RecordedKey &key, ScanCode *out)
{
    if (key.scan.code != 0) {
        *out = key.scan;
        return true;
    }
    if (!key.keyName.empty())
        return scanCodeForKeyName(key.keyName.c_str(), out);
    return scanCodeForXKeycode(key.keycode, out);
}

} // namespace kelv::platform
