# One whole client update with the real program, the real Updater and a local
# update service, driven on a private X server.
kelv_test(test_update_e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_update_e2e.cpp
          LIBS Qt6::Core Qt6::Network
          LABELS browser)
if(TARGET kelv)
  add_dependencies(test_update_e2e kelv Updater kelvpack program_files)
endif()
