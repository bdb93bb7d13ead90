# Starting other programs: a recording stand-in plays browser and opener.
add_executable(app_argv_recorder ${CMAKE_CURRENT_LIST_DIR}/ArgvRecorder.cpp)

quill_add_test(NAME app_launcher_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/LauncherTest.cpp
               LIBS explorer_ui TIMEOUT 60)
add_dependencies(app_launcher_test app_argv_recorder)

quill_add_test(NAME app_web_launch_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/WebLaunchTest.cpp ${CMAKE_CURRENT_LIST_DIR}/QtTestMain.cpp
               LIBS explorer_ui Qt6::Test NET TIMEOUT 120)
target_include_directories(app_web_launch_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
add_dependencies(app_web_launch_test app_argv_recorder)

quill_add_test(NAME app_scan_window_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ScanWindowTest.cpp ${CMAKE_CURRENT_LIST_DIR}/QtTestMain.cpp
               LIBS explorer_ui Qt6::Test NET TIMEOUT 120)
target_include_directories(app_scan_window_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
add_dependencies(app_scan_window_test devicesim)

quill_add_test(NAME app_help_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/HelpTest.cpp ${CMAKE_CURRENT_LIST_DIR}/QtTestMain.cpp
               LIBS explorer_ui Qt6::Test TIMEOUT 60)
target_include_directories(app_help_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
add_dependencies(app_help_test app_argv_recorder)
