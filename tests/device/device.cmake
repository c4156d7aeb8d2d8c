# A device library that lacks most entry points, for the manager's failure paths.
add_library(test_partial_dc SHARED ${CMAKE_CURRENT_LIST_DIR}/partial_dc.cpp)
target_include_directories(test_partial_dc PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(test_partial_dc PRIVATE -Wall -Wextra)
set_target_properties(test_partial_dc PROPERTIES CXX_VISIBILITY_PRESET hidden)

kelv_test(test_device_list SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_device_list.cpp LIBS kelv_device)

kelv_test(test_devices_handler
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_devices_handler.cpp
  LIBS kelv_device)
target_compile_definitions(test_devices_handler PRIVATE
  PARTIAL_DC_FILE="$<TARGET_FILE:test_partial_dc>")
add_dependencies(test_devices_handler test_partial_dc libdc dcsim)

# Real mice through libratbag's real daemon on a private bus (skips, saying why, without it).
kelv_test(test_ratbagd
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_ratbagd.cpp
  LIBS kelv_device
  ENV ${KELV_RATBAGD_ENV})
add_dependencies(test_ratbagd libdc dcsim)
if(TARGET ratbagd_devel)
  add_dependencies(test_ratbagd ratbagd_devel)
endif()
# The same suite against ratbagd 0.18 (D-Bus API 2).
kelv_ratbagd_again(test_ratbagd COMMAND test_ratbagd)

# Unreadable devices, restarts of a daemon that exits at start, where the slots are kept.
kelv_test(test_ratbagd_lifecycle
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_ratbagd_lifecycle.cpp
  LIBS kelv_device
  ENV ${KELV_RATBAGD_ENV})
add_dependencies(test_ratbagd_lifecycle libdc dcsim)
if(TARGET ratbagd_devel)
  add_dependencies(test_ratbagd_lifecycle ratbagd_devel)
endif()
kelv_ratbagd_again(test_ratbagd_lifecycle COMMAND test_ratbagd_lifecycle)

# A stand-in for ratbagd for what the real daemon cannot be made to do (wrong types, nonsense,
# failed commits, newer properties), and the suite that runs it.
add_executable(fake_ratbagd ${CMAKE_CURRENT_LIST_DIR}/fake_ratbagd.cpp)
target_link_libraries(fake_ratbagd PRIVATE kelv_warnings Qt6::Core Qt6::DBus)
# ... and one on sd-bus whose writes outlast a second (a wireless receiver's), answering
# nothing, not even a Ping, until its write ends, like the real daemon.
add_executable(slow_ratbagd ${CMAKE_CURRENT_LIST_DIR}/slow_ratbagd.cpp)
target_link_libraries(slow_ratbagd PRIVATE kelv_warnings systemd)
kelv_test(test_ratbagd_fake
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_ratbagd_fake.cpp
  LIBS kelv_device)
target_compile_definitions(test_ratbagd_fake PRIVATE FAKE_RATBAGD_FILE="$<TARGET_FILE:fake_ratbagd>"
  SLOW_RATBAGD_FILE="$<TARGET_FILE:slow_ratbagd>")
add_dependencies(test_ratbagd_fake fake_ratbagd slow_ratbagd libdc dcsim)

# Razer mice through OpenRazer's real daemon (Debian's package, unpacked) on a private session
# bus with fake device folders (skips, saying why, without it).
kelv_test(test_razerd
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_razerd.cpp
  LIBS kelv_device
  ENV ${KELV_OPENRAZER_ENV})
add_dependencies(test_razerd libdc dcsim)
if(TARGET openrazer_daemon)
  add_dependencies(test_razerd openrazer_daemon)
endif()
