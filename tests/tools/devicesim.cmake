quill_add_test(NAME tools_devicesim_table SOURCES DeviceTableTest.cpp LIBS devicesim_core)
quill_add_test(NAME tools_devicesim_codec SOURCES DeviceCodecTest.cpp LIBS devicesim_core)
quill_add_test(NAME tools_devicesim NET TIMEOUT 120 SOURCES DeviceSimTest.cpp LIBS protocol)
