# explorerctl config get / put.
quill_add_test(NAME ctl_config_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ConfigTest.cpp
               LIBS ctl_test_support NET TIMEOUT 180)
add_dependencies(ctl_config_test explorerctl devicesim)
