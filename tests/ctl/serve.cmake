# explorerctl serve-image with the real upgrade library's TFTP wait.
quill_add_test(NAME ctl_serve_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ServeTest.cpp
               LIBS ctl_test_support NET TIMEOUT 120)
add_dependencies(ctl_serve_test explorerctl Quillbox)
