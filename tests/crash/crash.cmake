# The crash handler (crash/) and the crash reporter program (tools/crashreporter/).
add_library(crash_blocker MODULE ${CMAKE_CURRENT_LIST_DIR}/blocker.cpp)
set_target_properties(crash_blocker PROPERTIES OUTPUT_NAME crash_blocker PREFIX lib)
target_link_libraries(crash_blocker PRIVATE kelv_warnings)

add_executable(crash_crasher ${CMAKE_CURRENT_LIST_DIR}/crasher.cpp)
target_include_directories(crash_crasher PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(crash_crasher PRIVATE kelv_warnings kelv_crash Qt6::Core ${CMAKE_DL_LIBS})
target_compile_definitions(crash_crasher PRIVATE
  KELV_CRASH_BLOCKER="$<TARGET_FILE:crash_blocker>")
add_dependencies(crash_crasher crash_blocker)

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
