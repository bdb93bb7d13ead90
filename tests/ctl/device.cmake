# explorerctl set-ip and test.
quill_add_test(NAME ctl_device_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/DeviceTest.cpp
               LIBS ctl_test_support NET TIMEOUT 180)
add_dependencies(ctl_device_test explorerctl devicesim)
