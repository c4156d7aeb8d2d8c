# Shared by the mingw-w64 toolchain files (they set CMAKE_SYSTEM_PROCESSOR and
# KELV_MINGW_PREFIX first). The posix thread model, for std::thread and std::mutex.
# Programs and DLLs link the compiler's runtime statically, so they need no DLL beside
# them. Built programs run through Wine (ctest uses it as the emulator).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KELV_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELV_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KELV_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KELV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

find_program(KELV_WINE NAMES wine wine64)
if(KELV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELV_WINE})
endif()
