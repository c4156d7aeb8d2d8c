# Cold start of the program to the page's load-finished (median of 5,
# offscreen) and the resident memory of all its processes once loaded.
if(KELV_WITH_BROWSER AND TARGET kelv)
  add_executable(bench_startup ${CMAKE_CURRENT_LIST_DIR}/bench_startup.cpp)
  target_include_directories(bench_startup PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(bench_startup PRIVATE kelv_warnings testsupport Qt6::Core)
  target_compile_definitions(bench_startup PRIVATE KELV_BENCH_PROGRAM_DIR="${KELV_PROGRAM_DIR}")
  add_dependencies(bench_startup kelv program_files)
endif()
