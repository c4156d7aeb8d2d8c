# Starting the Updater: its command line (process id, restart) built by the
# program, carried through the shell (ShellExecuteW on Windows, "runas"
# included) and read back by the Updater's parser; under Wine for Windows.
add_executable(updater_start_helper ${CMAKE_CURRENT_LIST_DIR}/updater_start_helper.cpp)
target_link_libraries(updater_start_helper PRIVATE kelv_warnings kelv_platform)
target_include_directories(updater_start_helper PRIVATE ${CMAKE_SOURCE_DIR})
kelv_doctest(test_updater_start
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_updater_start.cpp
  LIBS kelv_platform)
add_dependencies(test_updater_start updater_start_helper)
