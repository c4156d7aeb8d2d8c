# The crash reporter: the window and report parsing in a library the tests link,
# and the CrashReporter program of the program folder.
add_library(kelv_crashreporter STATIC
  ${CMAKE_CURRENT_LIST_DIR}/crashreporter/crash_report.cpp
  ${CMAKE_CURRENT_LIST_DIR}/crashreporter/crash_report.h
  ${CMAKE_CURRENT_LIST_DIR}/crashreporter/reporter_window.cpp
  ${CMAKE_CURRENT_LIST_DIR}/crashreporter/reporter_window.h)
target_include_directories(kelv_crashreporter PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(kelv_crashreporter PUBLIC kelv_warnings kelv_common Qt6::Widgets)

kelv_program(CrashReporter SOURCES ${CMAKE_CURRENT_LIST_DIR}/crashreporter/main.cpp
  LIBS kelv_crashreporter)
