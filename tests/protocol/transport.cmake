quill_add_test(NAME protocol_discovery NET TIMEOUT 300 SOURCES DiscoveryTest.cpp LIBS protocol)
quill_add_test(NAME protocol_exchanges NET TIMEOUT 300 SOURCES ExchangeTest.cpp LIBS protocol)
# The receiving thread without memory for its buffers (allocations made to
# fail; its own process). Binds a loopback socket only.
quill_add_test(NAME protocol_receiver_fault NET TIMEOUT 60 SOURCES ReceiverFaultTest.cpp LIBS protocol)
