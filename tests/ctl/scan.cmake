# explorerctl scan: golden output in every format, empty network, Ctrl-C.
quill_add_test(NAME ctl_scan_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ScanTest.cpp
               LIBS ctl_test_support NET TIMEOUT 120)
add_dependencies(ctl_scan_test explorerctl devicesim)
