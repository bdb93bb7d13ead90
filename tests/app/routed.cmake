# The window behind a router: "Other networks..." and what it makes Scan and
# Set IP address reach (scripts/netns-links.sh --routed).
quill_add_test(NAME app_routed_window_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/RoutedWindowTest.cpp ${CMAKE_CURRENT_LIST_DIR}/QtTestMain.cpp
               LIBS explorer_ui LINKS LINKS_ARGS --routed TIMEOUT 180)
add_dependencies(app_routed_window_test devicesim)
