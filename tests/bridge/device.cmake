# The device commands through the dispatcher over the real libdc simulator.
kelv_test(test_bridge_device
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_device_commands.cpp
  LIBS kelv_bridge kelv_device)
# test_partial_dc is defined with the device tests (tests/device/device.cmake).
target_compile_definitions(test_bridge_device PRIVATE
  PARTIAL_DC_FILE="$<TARGET_FILE:test_partial_dc>")
add_dependencies(test_bridge_device test_partial_dc libdc dcsim)

# The device commands for a ratbagd mouse over the real daemon (skips, saying why, without it).
kelv_test(test_bridge_ratbagd
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_bridge_ratbagd.cpp
  LIBS kelv_bridge kelv_device
  ENV ${KELV_RATBAGD_ENV})
add_dependencies(test_bridge_ratbagd libdc dcsim)
if(TARGET ratbagd_devel)
  add_dependencies(test_bridge_ratbagd ratbagd_devel)
endif()
kelv_ratbagd_again(test_bridge_ratbagd COMMAND test_bridge_ratbagd)
