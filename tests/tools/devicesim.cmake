quill_add_test(NAME tools_devicesim_table
  SOURCES DeviceTableTest.cpp ${PROJECT_SOURCE_DIR}/tools/devicesim/DeviceTable.cpp LIBS protocol)
quill_add_test(NAME tools_devicesim NET TIMEOUT 120 SOURCES DeviceSimTest.cpp LIBS protocol)
