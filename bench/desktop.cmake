# CPU time of one poll of the bound-program monitor with a few hundred
# processes running.
add_executable(bench_desktop ${CMAKE_CURRENT_LIST_DIR}/bench_desktop.cpp)
target_include_directories(bench_desktop PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(bench_desktop PRIVATE kelv_warnings kelv_desktop kelv_platform)
