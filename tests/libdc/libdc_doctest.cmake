# libdc loaded by file name, from one source for libdc.so and libdc.dll.
kelv_doctest(test_libdc_load
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_libdc_load.cpp)
add_dependencies(test_libdc_load libdc dcsim)
