# The transport on a PC with two links, a simulator behind each
# (scripts/netns-links.sh).
quill_add_test(NAME protocol_links LINKS TIMEOUT 180 SOURCES LinksTest.cpp LIBS protocol)
add_dependencies(protocol_links devicesim)
