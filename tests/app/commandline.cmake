# The built explorer's own options, run without a display.
quill_add_test(NAME app_command_line_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/CommandLineTest.cpp
               LIBS ctl_test_support res TIMEOUT 120)
add_dependencies(app_command_line_test explorer Quillbox)
