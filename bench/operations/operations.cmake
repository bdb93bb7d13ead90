# Configuration retrieve against curl (run inside scripts/netns.sh).
add_executable(bench_config_retrieve ${CMAKE_CURRENT_LIST_DIR}/RetrieveBench.cpp)
target_link_libraries(bench_config_retrieve PRIVATE operations test_support)
add_dependencies(bench_config_retrieve devicesim)
