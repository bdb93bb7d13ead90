quill_add_test(NAME protocol_discovery NET TIMEOUT 300 SOURCES DiscoveryTest.cpp LIBS protocol)
quill_add_test(NAME protocol_exchanges NET TIMEOUT 300 SOURCES ExchangeTest.cpp LIBS protocol)
