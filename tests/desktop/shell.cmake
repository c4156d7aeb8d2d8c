kelv_test(test_shell_desktop SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_shell_desktop.cpp
  LIBS kelv_desktop kelv_platform kelv_resources Qt6::Widgets PkgConfig::XCB)
