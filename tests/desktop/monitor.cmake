# The bound-program monitor with real child processes, the process list and the
# Windows image-path conversion.
kelv_test(test_process_moniter SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_process_moniter.cpp
          LIBS kelv_desktop kelv_platform)
