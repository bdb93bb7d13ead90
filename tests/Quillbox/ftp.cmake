# FTP client, echo probe and upgrade session against scripted and real peers
# (inside the private network namespace).
add_library(quillbox_test_ftp STATIC ${CMAKE_CURRENT_LIST_DIR}/ScriptedFtpServer.cpp)
target_include_directories(quillbox_test_ftp PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(quillbox_test_ftp PUBLIC quillbox_core)

quill_add_test(NAME quillbox_ftp_client_test NET
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ftp_client_test.cpp
  LIBS quillbox_test_ftp TIMEOUT 120)

quill_add_test(NAME quillbox_echo_probe_test NET
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/echo_probe_test.cpp
  LIBS quillbox_core TIMEOUT 60)

quill_add_test(NAME quillbox_ftp_session_test NET
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ftp_session_test.cpp
  LIBS quillbox_test_ftp TIMEOUT 180)

quill_add_test(NAME quillbox_exports_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/exports_test.cpp
  LIBS ${CMAKE_DL_LIBS} TIMEOUT 60)
add_dependencies(quillbox_exports_test Quillbox)

quill_add_test(NAME quillbox_exports_net_test NET
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/exports_net_test.cpp
  LIBS quillbox_test_ftp ${CMAKE_DL_LIBS} TIMEOUT 120)
add_dependencies(quillbox_exports_net_test Quillbox)

quill_add_test(NAME quillbox_ftp_interop_test NET
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ftp_interop_test.cpp
  LIBS quillbox_test_ftp TIMEOUT 120)

# The exports under allocation failures of every kind (no network).
quill_add_test(NAME quillbox_exports_fault_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/exports_fault_test.cpp
  LIBS quillbox_core TIMEOUT 120)
