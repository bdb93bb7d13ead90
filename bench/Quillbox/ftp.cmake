# FtpClient::Put throughput next to curl -T against the same real server.
add_executable(quillbox_ftp_bench ${CMAKE_CURRENT_LIST_DIR}/ftp_bench.cpp)
target_include_directories(quillbox_ftp_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/Quillbox)
target_link_libraries(quillbox_ftp_bench PRIVATE quillbox_core)
