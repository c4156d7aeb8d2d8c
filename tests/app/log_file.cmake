kelv_test(test_log_file SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_log_file.cpp LIBS kelv_app)
