# The documented wire, typed in by hand (tests/support/WireGolden.h).
quill_add_test(NAME protocol_wire_golden SOURCES WireGoldenTest.cpp LIBS protocol)
quill_add_test(NAME protocol_wire_port NET TIMEOUT 60 SOURCES WirePortTest.cpp LIBS protocol)
