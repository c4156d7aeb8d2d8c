# The crash handler (crash/) and the crash reporter program (tools/crashreporter/).
add_executable(crash_crasher ${CMAKE_CURRENT_LIST_DIR}/crasher.cpp)
target_include_directories(crash_crasher PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(crash_crasher PRIVATE kelv_warnings kelv_crash Qt6::Core)

kelv_test(test_crash_handler
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_crash_handler.cpp
          ${CMAKE_CURRENT_LIST_DIR}/crash_child.cpp ${CMAKE_CURRENT_LIST_DIR}/crash_child.h
  LIBS kelv_crash kelv_crashreporter)
target_compile_definitions(test_crash_handler PRIVATE
  KELV_CRASHER="$<TARGET_FILE:crash_crasher>")
add_dependencies(test_crash_handler crash_crasher)

kelv_test(test_crash_reporter
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_crash_reporter.cpp
  LIBS kelv_crash kelv_crashreporter Qt6::Widgets)
