kelv_test(test_bridge_members SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_members.cpp LIBS kelv_bridge)
