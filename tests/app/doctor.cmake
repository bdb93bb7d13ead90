# The window's "No ... found" box with the doctor's report, on a PC with two links.
quill_add_test(NAME app_doctor_window_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/DoctorWindowTest.cpp ${CMAKE_CURRENT_LIST_DIR}/QtTestMain.cpp
               LIBS explorer_ui Qt6::Test LINKS TIMEOUT 120)
target_include_directories(app_doctor_window_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
add_dependencies(app_doctor_window_test devicesim)
