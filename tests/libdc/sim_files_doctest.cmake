# The simulator's file layer (atomic saves, temporary files) on the real file
# system, from one source for Linux and Windows (Wine); and dcsim saving its
# state where links were planted.
kelv_doctest(test_sim_files
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_sim_files.cpp
  LIBS dcsim_core)
add_dependencies(test_sim_files dcsim)
