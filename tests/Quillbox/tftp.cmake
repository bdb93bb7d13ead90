# TFTP server and the TFTP wait. Loopback only: no private network needed.
quill_add_test(NAME tftp_protocol_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tftp_protocol_test.cpp
  LIBS quillbox_core TIMEOUT 400)
quill_add_test(NAME tftp_wait_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tftp_wait_test.cpp
  LIBS quillbox_core TIMEOUT 120)
quill_add_test(NAME tftp_interop_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tftp_interop_test.cpp
  LIBS quillbox_core TIMEOUT 300)
