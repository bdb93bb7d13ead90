# The Ansible plays of docs/fleet, run against this host with simulated
# devices (skipped without ansible-playbook); ctl_core brings nlohmann-json.
quill_add_test(NAME ctl_fleet_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/FleetTest.cpp
               LIBS ctl_test_support ctl_core NET TIMEOUT 300)
add_dependencies(ctl_fleet_test explorerctl devicesim Quillbox)
