# The upgrade's watch for the restarting device, against a simulated device
# that leaves the network for its restart (a segment of the link topology).
# About a minute: the upgrade through the exports keeps the real pauses.
quill_add_test(NAME quillbox_restart_watch_test LINKS TIMEOUT 240
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/restart_watch_test.cpp
  LIBS quillbox_core ${CMAKE_DL_LIBS})
add_dependencies(quillbox_restart_watch_test Quillbox devicesim)
