add_executable(bench_discovery ${CMAKE_CURRENT_LIST_DIR}/DiscoveryBench.cpp ${CMAKE_CURRENT_LIST_DIR}/SweepRows.cpp)
target_link_libraries(bench_discovery PRIVATE protocol test_support)
# The stock-limits row preloads the library beside the program.
add_dependencies(bench_discovery stock_rcvbuf devicesim)
