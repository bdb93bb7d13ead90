quill_add_test(NAME protocol_messages SOURCES DeviceMessagesTest.cpp ErrorTableTest.cpp TargetsTest.cpp LIBS protocol)
# Its own process: the first lookup of the process must be the one under test.
quill_add_test(NAME protocol_errortext_first_call SOURCES ErrorTextFirstCallTest.cpp LIBS protocol)
