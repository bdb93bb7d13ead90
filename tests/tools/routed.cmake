# The routed bed: devices behind a router, asked from the PC
# (scripts/netns-links.sh --routed).
quill_add_test(NAME tools_routed_bed LINKS LINKS_ARGS --routed TIMEOUT 120
               SOURCES ${CMAKE_CURRENT_LIST_DIR}/RoutedBedTest.cpp LIBS protocol)
add_dependencies(tools_routed_bed devicesim)
