# The per-user install script in a temporary home.
kelv_test(test_install SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_install.cpp LIBS kelv_common)
if(TARGET kelv)
  add_dependencies(test_install kelv program_files)
endif()
