# explorerctl's output: lost results fail the command; device texts reach
# the terminal without control bytes (a hostile FTP and web server).
quill_add_test(NAME ctl_output_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/OutputTest.cpp
               LIBS ctl_test_support quillbox_test_ftp NET TIMEOUT 180)
add_dependencies(ctl_output_test explorerctl devicesim Quillbox)
# What the terminal, a spreadsheet and a JSON reader get of foreign texts.
quill_add_test(NAME ctl_text_safety_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/TextSafetyTest.cpp
               LIBS ctl_core TIMEOUT 30)
