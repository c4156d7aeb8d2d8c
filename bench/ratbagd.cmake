# Real mice through the real ratbagd next to the simulated mouse: start, hot plug, and the
# round trips of a read and of a write with its commit (dispatcher and, with the browser
# parts, a real page).
if(KELV_RATBAGD_DEVEL)
  add_executable(bench_ratbagd ${CMAKE_CURRENT_LIST_DIR}/bench_ratbagd.cpp
    ${CMAKE_CURRENT_LIST_DIR}/page_round_trip.h)
  target_include_directories(bench_ratbagd PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(bench_ratbagd PRIVATE kelv_warnings kelv_bridge kelv_device testsupport Qt6::Test)
  target_compile_definitions(bench_ratbagd PRIVATE
    KELV_RATBAGD_DEVEL_FILE="${KELV_RATBAGD_DEVEL}" KELV_RATBAGD_DATA_FOLDER="${KELV_RATBAGD_DATA}")
  if(KELV_WITH_BROWSER AND TARGET kelv_browser)
    target_link_libraries(bench_ratbagd PRIVATE kelv_browser)
    target_compile_definitions(bench_ratbagd PRIVATE KELV_BENCH_PAGE)
  endif()
  add_dependencies(bench_ratbagd libdc dcsim ratbagd_devel)
endif()
