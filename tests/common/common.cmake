kelv_test(test_common SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_common.cpp LIBS kelv_common kelv_bridge)
