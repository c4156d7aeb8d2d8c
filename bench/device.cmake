# Device commands per second over the simulated mouse (dispatcher, and from a real page
# when the browser parts are built).
add_executable(bench_device ${CMAKE_CURRENT_LIST_DIR}/bench_device.cpp)
target_include_directories(bench_device PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(bench_device PRIVATE kelv_warnings kelv_bridge kelv_device testsupport)
if(KELV_WITH_BROWSER AND TARGET kelv_browser)
  target_link_libraries(bench_device PRIVATE kelv_browser)
  target_compile_definitions(bench_device PRIVATE KELV_BENCH_PAGE)
endif()
add_dependencies(bench_device libdc dcsim)
