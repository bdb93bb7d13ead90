quill_add_test(NAME protocol_transport NET TIMEOUT 300 SOURCES DeviceSocketTest.cpp LIBS protocol)
