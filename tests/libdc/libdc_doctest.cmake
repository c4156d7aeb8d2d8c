# libdc loaded by file name, from one source for libdc.so and libdc.dll.
kelv_doctest(test_libdc_load
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_libdc_load.cpp)
add_dependencies(test_libdc_load libdc dcsim)
# The library's routing, device list, services and thread, with stand-in backends.
kelv_doctest(test_dc_library
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_library.cpp
  LIBS dclibrary_core)
