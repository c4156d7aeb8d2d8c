kelv_test(test_bridge_settings
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_settings.cpp ${CMAKE_CURRENT_LIST_DIR}/command_fixture.h
  LIBS kelv_bridge)
