# A real crash of a child process, from one source for Linux and Windows.
add_executable(crash_victim ${CMAKE_CURRENT_LIST_DIR}/crash_victim.cpp)
target_link_libraries(crash_victim PRIVATE kelv_crash_core)
add_executable(crash_reporter_stub ${CMAKE_CURRENT_LIST_DIR}/crash_reporter_stub.cpp)
add_executable(crash_copy ${CMAKE_CURRENT_LIST_DIR}/crash_copy.cpp)
# Both read their arguments as UTF-8 (platform/program_arguments.h).
target_include_directories(crash_reporter_stub PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(crash_copy PRIVATE ${CMAKE_SOURCE_DIR})
kelv_doctest(test_crash_dump SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_crash_dump.cpp
  LIBS kelv_crash_core)
add_dependencies(test_crash_dump crash_victim crash_reporter_stub crash_copy)
