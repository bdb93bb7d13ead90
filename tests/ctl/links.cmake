# explorerctl scan on a PC with two links: the link column, --interface.
quill_add_test(NAME ctl_links_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/LinksTest.cpp
               LIBS ctl_test_support LINKS TIMEOUT 120)
add_dependencies(ctl_links_test explorerctl devicesim)
