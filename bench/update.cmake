# Update transport figures: unpacking a 50 MB package against xz, and the
# downloader's loopback throughput against curl.
add_executable(bench_update ${CMAKE_CURRENT_LIST_DIR}/update_bench.cpp)
target_link_libraries(bench_update PRIVATE kelv_warnings kelv_update testsupport Qt6::Network)
target_include_directories(bench_update PRIVATE ${CMAKE_SOURCE_DIR})
