# Razer mice through OpenRazer's real daemon: every property read as the page reads them, and
# the idle wake-ups of the program in the tray with two wireless mice.
if(TARGET openrazer_daemon)
  add_executable(bench_razer ${CMAKE_CURRENT_LIST_DIR}/bench_razer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/page_round_trip.h)
  target_include_directories(bench_razer PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(bench_razer PRIVATE kelv_warnings kelv_bridge kelv_device testsupport Qt6::Test)
  target_compile_definitions(bench_razer PRIVATE
    KELV_OPENRAZER_FOLDER="${CMAKE_SOURCE_DIR}/build/third_party/openrazer-daemon"
    KELV_RAZER_RUNNER_FILE="${CMAKE_SOURCE_DIR}/tests/testsupport/razer_daemon_run.py")
  if(KELV_WITH_BROWSER AND TARGET kelv_browser)
    target_link_libraries(bench_razer PRIVATE kelv_browser)
    target_compile_definitions(bench_razer PRIVATE KELV_BENCH_PAGE)
  endif()
  add_dependencies(bench_razer libdc dcsim openrazer_daemon kelv_tray_host)
endif()
