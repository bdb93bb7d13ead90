# The echo probe as an ordinary user (a child process gives up root inside
# the private network).
quill_add_test(NAME quillbox_echo_rights_test NET
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/echo_rights_test.cpp
  LIBS quillbox_core TIMEOUT 60)
