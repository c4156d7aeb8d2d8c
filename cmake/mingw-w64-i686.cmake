# Cross build for 32-bit Windows with Debian's mingw-w64: the device-library host
# dchost.exe and a 32-bit libdc.dll like the mouse maker's (scripts/build-windows.sh).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KELV_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
