# explorerctl doctor in the routed bed: a link without carrier or address, a
# firewall in the PC namespace that drops the answers, a device outside its
# link's subnet.
find_package(nlohmann_json 3 CONFIG REQUIRED)
quill_add_test(NAME ctl_doctor_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/DoctorTest.cpp
               LIBS ctl_test_support net nlohmann_json::nlohmann_json LINKS LINKS_ARGS --routed TIMEOUT 240)
add_dependencies(ctl_doctor_test explorerctl devicesim)
