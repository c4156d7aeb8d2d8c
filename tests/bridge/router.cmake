kelv_test(test_bridge_router SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_router.cpp LIBS kelv_bridge)
