# The device library through its host process (dchost). Linux: this build's dchost and
# libdc.so. Windows: the 32-bit dchost.exe with the 32-bit libdc.dll of the i686 build
# (KELV_WIN32_PROGRAM_DIR, made by scripts/build-windows.sh), which it loads by bare name.
if(WIN32)
  set(KELV_WIN32_PROGRAM_DIR "" CACHE PATH "Program folder of the 32-bit (i686) build: dchost.exe, libdc.dll")
  if(NOT KELV_WIN32_PROGRAM_DIR)
    message(STATUS "KELV_WIN32_PROGRAM_DIR not set: test_dchost is not built")
    return()
  endif()
  set(dchost_env "KELV_DCHOST=Z:${KELV_WIN32_PROGRAM_DIR}/dchost.exe")
else()
  set(dchost_env "KELV_DCHOST=$<TARGET_FILE:dchost>;KELV_DCHOST_LIBRARY=${KELV_PROGRAM_DIR}/libdc.so")
endif()
kelv_doctest(test_dchost
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_dchost.cpp
  LIBS dchost_client kelv_platform
  ENV ${dchost_env})
add_dependencies(test_dchost libdc dcsim dchost)
