# explorerctl upgrade, one device and a batch, with the real upgrade library
# found beside the program.
quill_add_test(NAME ctl_upgrade_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/UpgradeTest.cpp
               LIBS ctl_test_support NET TIMEOUT 400)
add_dependencies(ctl_upgrade_test explorerctl devicesim Quillbox)
