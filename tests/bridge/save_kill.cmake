# Fault injection: SIGKILL during saves of profiles, conf.xml and an export file.
add_executable(save_kill_helper ${CMAKE_CURRENT_LIST_DIR}/save_kill_helper.cpp)
target_include_directories(save_kill_helper PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(save_kill_helper PRIVATE kelv_warnings kelv_bridge kelv_common Qt6::Core)
kelv_test(test_save_kill SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_save_kill.cpp
  LIBS kelv_bridge kelv_common PkgConfig::PUGIXML)
target_compile_definitions(test_save_kill PRIVATE
  SAVE_KILL_HELPER="$<TARGET_FILE:save_kill_helper>")
add_dependencies(test_save_kill save_kill_helper program_files)
