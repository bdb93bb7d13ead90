# The core work as an ordinary user (uid 65534) on a PC with two links; the
# simulators run as root in the segments (scripts/netns-links.sh).
quill_add_test(NAME app_unprivileged_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/UnprivilegedTest.cpp ${CMAKE_CURRENT_LIST_DIR}/QtTestMain.cpp
               LIBS explorer_ui LINKS TIMEOUT 240
               LINKS_ARGS --unprivileged --sim-arg --set --sim-arg restart-ms=1500
                          --devices 0 ${CMAKE_CURRENT_LIST_DIR}/links-devices-a.txt
                          --devices 1 ${CMAKE_CURRENT_LIST_DIR}/links-devices-b.txt)
set_target_properties(app_unprivileged_test PROPERTIES BUILD_RPATH "\$ORIGIN")
target_link_options(app_unprivileged_test PRIVATE -Wl,--enable-new-dtags)
add_dependencies(app_unprivileged_test devicesim Quillbox)
