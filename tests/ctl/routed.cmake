# explorerctl behind a router: targets, sweeps, set-ip on another subnet.
quill_add_test(NAME ctl_routed_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/RoutedTest.cpp
               LIBS ctl_test_support LINKS LINKS_ARGS --routed TIMEOUT 240)
add_dependencies(ctl_routed_test explorerctl devicesim)
