# The documentation against the window: pictures, manual page, README.
quill_add_test(NAME app_docs_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/DocsTest.cpp ${CMAKE_CURRENT_LIST_DIR}/QtTestMain.cpp
               LIBS explorer_ui Qt6::Test TIMEOUT 60)
target_include_directories(app_docs_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
