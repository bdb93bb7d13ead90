# Discovery of an ordinary user granted less receive buffer than asked for.
quill_add_test(NAME protocol_shared_port NET TIMEOUT 120 SOURCES SharedPortTest.cpp LIBS protocol)
add_dependencies(protocol_shared_port devicesim)
