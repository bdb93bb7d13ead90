# explorerctl short of memory or threads (under resource limits), and
# device lists that never end.
quill_add_test(NAME ctl_shortage_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ShortageTest.cpp
               LIBS ctl_test_support NET TIMEOUT 180)
add_dependencies(ctl_shortage_test explorerctl Quillbox)
