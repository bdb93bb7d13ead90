# The main window, its dialogs and its launch layer, headless.
quill_add_test(NAME app_main_window_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/MainWindowTest.cpp ${CMAKE_CURRENT_LIST_DIR}/QtTestMain.cpp
               LIBS explorer_ui Qt6::Test TIMEOUT 120)
target_include_directories(app_main_window_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})

quill_add_test(NAME app_qt_modal_ui_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/QtModalUiTest.cpp ${CMAKE_CURRENT_LIST_DIR}/QtTestMain.cpp
               LIBS explorer_ui Qt6::Test TIMEOUT 60)

quill_add_test(NAME app_thread_pool_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ThreadPoolTest.cpp ${CMAKE_CURRENT_LIST_DIR}/QtTestMain.cpp
               LIBS explorer_ui TIMEOUT 60)
