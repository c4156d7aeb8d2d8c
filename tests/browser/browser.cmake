kelv_test(test_browser_bridge
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_page_bridge.cpp ${CMAKE_CURRENT_LIST_DIR}/browser_fixture.h
  LIBS kelv_browser kelv_bridge Qt6::Network
  LABELS browser)
kelv_test(test_browser_view
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_web_view.cpp ${CMAKE_CURRENT_LIST_DIR}/browser_fixture.h
  LIBS kelv_browser kelv_bridge Qt6::Network
  LABELS browser)
kelv_test(test_browser_sleep
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_page_sleep.cpp ${CMAKE_CURRENT_LIST_DIR}/browser_fixture.h
  LIBS kelv_browser kelv_bridge Qt6::Network
  LABELS browser)
