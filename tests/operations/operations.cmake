# The operation queue with stand-in workers (no network).
quill_add_test(NAME operations_queue_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/QueueTest.cpp
               LIBS operations TIMEOUT 60)
