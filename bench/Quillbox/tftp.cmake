# TFTP server throughput against tftpd-hpa (loopback only).
add_executable(tftp_bench ${CMAKE_CURRENT_LIST_DIR}/tftp_bench.cpp)
target_include_directories(tftp_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/Quillbox)
target_link_libraries(tftp_bench PRIVATE quillbox_core)
