# The operation queue with stand-in workers (no network).
quill_add_test(NAME operations_queue_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/QueueTest.cpp
               LIBS operations TIMEOUT 60)
# Retrieve and upload against simulated devices.
quill_add_test(NAME operations_transfer_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/TransferTest.cpp
               LIBS operations NET TIMEOUT 120)
add_dependencies(operations_transfer_test devicesim)
# The commands through the main window (headless) against simulated devices.
# Clicks with the mouse: the application lives in main, as long as the
# input devices made for the clicks.
quill_add_test(NAME operations_commands_test
               SOURCES ${CMAKE_CURRENT_LIST_DIR}/CommandsTest.cpp ${PROJECT_SOURCE_DIR}/tests/app/QtTestMain.cpp
               LIBS explorer_ui Qt6::Test NET TIMEOUT 180)
add_dependencies(operations_commands_test devicesim)
# Where a retrieve stores, what a device may send, the upload read as it
# goes: against loopback web servers of the test's own; special files only
# in a private mount namespace.
quill_add_test(NAME operations_store_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/StoreTest.cpp
               LIBS operations NET TIMEOUT 180)
