# explorerctl's command line, a missing library, help and manual page.
quill_add_test(NAME ctl_usage_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/UsageTest.cpp
               LIBS ctl_test_support NET TIMEOUT 120)
add_dependencies(ctl_usage_test explorerctl explorerctl_man)
# The CSV both ways (no network).
quill_add_test(NAME ctl_csv_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/CsvTest.cpp LIBS ctl_core TIMEOUT 30)
