# Page bridge: sequential round trips through the whole bridge against a bare
# Qt WebChannel echo, and events per second into the page.
if(KELV_WITH_BROWSER)
  add_executable(bench_bridge ${CMAKE_CURRENT_LIST_DIR}/bench_bridge.cpp)
  target_include_directories(bench_bridge PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(bench_bridge PRIVATE kelv_warnings kelv_browser kelv_bridge testsupport)
endif()
