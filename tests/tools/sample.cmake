# The main job's sample devices: configurations and an image for every action.
quill_add_test(NAME tools_sample_devices_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/SampleDevicesTest.cpp
               LIBS ctl_test_support res NET TIMEOUT 180)
add_dependencies(tools_sample_devices_test explorerctl devicesim Quillbox)
