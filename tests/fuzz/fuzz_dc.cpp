// A device library for the device-list fuzz target: dcDevices fills the block
// with whatever the target handed to fuzzSetDeviceList (the rest of the block
// stays as the program zeroed it), so the device manager reads fuzzed blocks
// exactly as a vendor library would fill them. dconDeviceData reads the two
// strings it is given up to their terminator, as a library would. The other
// entry points are absent: the manager treats them as missing.

#include "libdc/libdc.h"

#include <cstring>
#include <vector>

namespace {
std::vector<uint8_t> g_block;
size_t g_subscriptions = 0;

size_t length16(const char16_t *text)
{
    size_t n = 0;
    while (text && text[n] != 0)
        ++n;
    return n;
}
} // namespace

extern "C" {

LIBDC_API void fuzzSetDeviceList(const uint8_t *data, uint32_t size)
{
    g_block.assign(data, data + size);
}

LIBDC_API size_t fuzzSubscriptions()
{
    return g_subscriptions;
}

LIBDC_API int32_t dcDevices(DcFilter, uint8_t *block, uint32_t size)
{
    if (!g_block.empty())
        std::memcpy(block, g_block.data(), g_block.size() < size ? g_block.size() : size);
    return 0;
}

LIBDC_API int32_t dcOnDeviceEvent(const DcEventCallback *)
{
    return 0;
}

LIBDC_API int32_t dconDeviceData(const char16_t *hardwareId, const char16_t *devicePath,
                                 uint32_t code, const DcDataCallback *)
{
    if (code != DC_PRODUCT_CODE || length16(hardwareId) > 255 || length16(devicePath) > 255)
        return DC_BAD_ARGUMENT;
    ++g_subscriptions;
    return 0;
}
}
