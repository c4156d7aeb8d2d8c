# The low-battery warning and the tray's lines: the battery watch over the real library, a
# wireless mouse of OpenRazer's real daemon and dbusmock's notification daemon on one private
# session bus (skips, saying why, without them).
kelv_test(test_battery_notice
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_battery_notice.cpp
  LIBS kelv_desktop kelv_device
  ENV ${KELV_OPENRAZER_ENV})
add_dependencies(test_battery_notice libdc)
if(TARGET openrazer_daemon)
  add_dependencies(test_battery_notice openrazer_daemon)
endif()
