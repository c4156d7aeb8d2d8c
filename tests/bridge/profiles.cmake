kelv_test(test_bridge_profiles
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_profiles.cpp ${CMAKE_CURRENT_LIST_DIR}/command_fixture.h
  LIBS kelv_bridge)
if(KELV_WITH_BROWSER)
  kelv_test(test_bridge_commands_page
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_commands_page.cpp ${CMAKE_CURRENT_LIST_DIR}/command_fixture.h
    LIBS kelv_browser kelv_bridge Qt6::Network
    LABELS browser)
endif()
