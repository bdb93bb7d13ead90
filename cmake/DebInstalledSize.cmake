# Run by cpack once the packages are built (CPACK_POST_BUILD_SCRIPTS): gives
# every Debian package the Installed-Size dpkg's own rule yields, in place of
# the one CPack counts (see packaging/installed-size.py).
foreach(_package ${CPACK_PACKAGE_FILES})
  if(NOT _package MATCHES "\\.deb$")
    continue()
  endif()
  execute_process(COMMAND ${CPACK_OSPREY_PYTHON} ${CPACK_OSPREY_INSTALLED_SIZE} ${_package}
    OUTPUT_VARIABLE _size OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "cannot set the Installed-Size of ${_package}")
  endif()
  message(STATUS "Installed-Size of ${_package}: ${_size} KiB")
endforeach()
