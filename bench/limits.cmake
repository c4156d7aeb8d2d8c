# The worst requests against the bounds on XML and request sizes: time each
# keeps the GUI thread busy, through the router and from a real page.
if(KELV_WITH_BROWSER)
  add_executable(bench_limits ${CMAKE_CURRENT_LIST_DIR}/bench_limits.cpp)
  target_include_directories(bench_limits PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(bench_limits PRIVATE kelv_warnings kelv_browser kelv_bridge testsupport Qt6::Test)
endif()
