kelv_test(test_bridge_profiles
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_profiles.cpp ${CMAKE_CURRENT_LIST_DIR}/command_fixture.h
  LIBS kelv_bridge)
