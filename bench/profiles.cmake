add_executable(bench_profiles ${CMAKE_CURRENT_LIST_DIR}/bench_profiles.cpp)
target_include_directories(bench_profiles PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(bench_profiles PRIVATE kelv_warnings kelv_bridge testsupport)
