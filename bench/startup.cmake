# Start of the program next to a bare Qt WebEngine page of the same window size
# (median and range of 5 runs each, alternating, offscreen): the time and the
# processor time to "page loaded", the memory of all their processes (PSS, and
# PSS as if alone on the machine, once shown and once settled), and
# the program hidden in the tray (memory after 10 s and 120 s, idle wake-ups,
# the time to open the window again) under a private Xvfb with a tray; with
# "ratbagd", the program in the tray while ratbagd.devel runs.
if(KELV_WITH_BROWSER AND TARGET kelv)
  add_executable(bench_bare_page ${CMAKE_CURRENT_LIST_DIR}/bench_bare_page.cpp)
  target_link_libraries(bench_bare_page PRIVATE kelv_warnings Qt6::Widgets Qt6::WebEngineWidgets)
  add_executable(bench_startup ${CMAKE_CURRENT_LIST_DIR}/bench_startup.cpp)
  target_include_directories(bench_startup PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(bench_startup PRIVATE kelv_warnings testsupport Qt6::Core)
  target_compile_definitions(bench_startup PRIVATE KELV_BENCH_PROGRAM_DIR="${KELV_PROGRAM_DIR}"
    KELV_BENCH_BARE_PAGE="$<TARGET_FILE:bench_bare_page>")
  add_dependencies(bench_startup kelv program_files bench_bare_page kelv_tray_host)
  if(KELV_RATBAGD_DEVEL)
    target_compile_definitions(bench_startup PRIVATE KELV_RATBAGD_DEVEL_FILE="${KELV_RATBAGD_DEVEL}"
      KELV_RATBAGD_DATA_FOLDER="${KELV_RATBAGD_DATA}")
    add_dependencies(bench_startup ratbagd_devel)
  endif()
endif()
