# Where the files kelv writes for its user go (real folders, another user, dcsim).
kelv_test(test_user_folders SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_user_folders.cpp LIBS kelv_common)
if(TARGET dcsim)
  add_dependencies(test_user_folders dcsim libdc)
endif()
