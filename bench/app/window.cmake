# Main-window responsiveness; run it through scripts/netns.sh.
add_executable(bench_app_window ${CMAKE_CURRENT_LIST_DIR}/WindowBench.cpp)
target_link_libraries(bench_app_window PRIVATE explorer_ui test_support)
add_dependencies(bench_app_window devicesim)
