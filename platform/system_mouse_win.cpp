// The system mouse settings on Windows: SystemParametersInfoW, saved to the
// user's profile and announced to every window; SetDoubleClickTime for the
// double-click time. Each value is read back, so true means Windows holds it.

#include "platform/system_mouse.h"

#include <climits>
#include <windows.h>

namespace kelv::platform {
namespace {

constexpr UINT kSaveAndAnnounce = SPIF_UPDATEINIFILE | SPIF_SENDCHANGE;

bool readUint(UINT action, UINT *value)
{
    return SystemParametersInfoW(action, 0, value, 0) != FALSE;
}

} // namespace

bool setPointerSpeed(long long speed)
{
    if (speed < 1 || speed > 20)
        return false;
    // SPI_SETMOUSESPEED takes the speed itself in pvParam.
    if (!SystemParametersInfoW(SPI_SETMOUSESPEED, 0,
                               reinterpret_cast<void *>(static_cast<UINT_PTR>(speed)),
                               kSaveAndAnnounce))
        return false;
    UINT stored = 0;
    return readUint(SPI_GETMOUSESPEED, &stored) && stored == UINT(speed);
}

bool setWheelScrollLines(long long lines)
{
    // WHEEL_PAGESCROLL (UINT_MAX) means a page per notch; anything else is a line count.
    if (lines < 0 || static_cast<unsigned long long>(lines) > UINT_MAX)
        return false;
    if (!SystemParametersInfoW(SPI_SETWHEELSCROLLLINES, UINT(lines), nullptr, kSaveAndAnnounce))
        return false;
    UINT stored = 0;
    return readUint(SPI_GETWHEELSCROLLLINES, &stored) && stored == UINT(lines);
}

ChangeableMouseSettings changeableMouseSettings()
{
    return {true, true, true};
}

bool setDoubleClickTime(long long milliseconds)
{
    if (milliseconds < 1 || milliseconds > 5000)
        return false;
    if (!SetDoubleClickTime(UINT(milliseconds)))
        return false;
    return GetDoubleClickTime() == UINT(milliseconds);
}

MouseSettingValues currentMouseSettings()
{
    // Windows' own scales are kelv's: speed 1..20, lines per notch (a page per
    // notch, WHEEL_PAGESCROLL, is no line count), milliseconds.
    MouseSettingValues values;
    UINT value = 0;
    if (readUint(SPI_GETMOUSESPEED, &value))
        values.pointerSpeed = value;
    if (readUint(SPI_GETWHEELSCROLLLINES, &value))
        values.wheelScrollLines =
            value == WHEEL_PAGESCROLL ? kUnknown : static_cast<long long>(value);
    values.doubleClickTime = GetDoubleClickTime();
    return values;
}

} // namespace kelv::platform
