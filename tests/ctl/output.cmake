# explorerctl's output: lost results fail the command.
quill_add_test(NAME ctl_output_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/OutputTest.cpp
               LIBS ctl_test_support NET TIMEOUT 180)
add_dependencies(ctl_output_test explorerctl devicesim Quillbox)
