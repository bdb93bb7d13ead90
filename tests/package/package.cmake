# The Debian package as a user gets it: built, linted, unpacked, and its
# programs run from the unpacked tree against the device simulator in the
# private network (the script makes that network itself).
add_test(NAME package_check
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-package.sh ${CMAKE_BINARY_DIR})
set_tests_properties(package_check PROPERTIES
  TIMEOUT 300
  SKIP_RETURN_CODE 77
  LABELS "package;net")
