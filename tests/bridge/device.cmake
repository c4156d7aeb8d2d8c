# The device commands through the dispatcher over the real libdc simulator.
kelv_test(test_bridge_device
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_device_commands.cpp
  LIBS kelv_bridge kelv_device)
# test_partial_dc is defined with the device tests (tests/device/device.cmake).
target_compile_definitions(test_bridge_device PRIVATE
  PARTIAL_DC_FILE="$<TARGET_FILE:test_partial_dc>")
add_dependencies(test_bridge_device test_partial_dc libdc dcsim)
