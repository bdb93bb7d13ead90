quill_add_test(NAME scan_rules SOURCES scan_rules_test.cpp LIBS protocol res Qt6::Widgets TIMEOUT 60)
quill_add_test(NAME ipedit SOURCES ipedit_test.cpp LIBS explorer_ui Qt6::Test TIMEOUT 60)
quill_add_test(NAME devicelist SOURCES devicelist_test.cpp LIBS explorer_ui TIMEOUT 60)
