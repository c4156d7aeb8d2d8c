# The device library through its C interface (dlopen), driven by the real dcsim.
kelv_test(test_libdc
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_libdc.cpp ${CMAKE_CURRENT_LIST_DIR}/sim_fixture.h
  LIBS Qt6::Core ${CMAKE_DL_LIBS})
add_dependencies(test_libdc libdc dcsim)

# ratbagd's objects and the device map's properties, without a daemon.
kelv_test(test_ratbag_device
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_ratbag_device.cpp
  LIBS Qt6::Core dcratbag_core)
# What differs between ratbagd's releases, which devices are mice, which instance each is.
kelv_test(test_ratbag_releases
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_ratbag_releases.cpp
  LIBS Qt6::Core dcratbag_core)

# UPower's batteries for a daemon's mice, through the library with a stand-in backend and
# python3-dbusmock's upower template on a private system bus.
kelv_test(test_upower_battery
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_upower_battery.cpp
  LIBS Qt6::Core dclibrary_core)
