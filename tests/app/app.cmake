kelv_test(test_single_instance SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_single_instance.cpp
          LIBS kelv_app Qt6::Network)
