# Start-up against stand-in upgrade libraries in folders of their own.
set(APP_TEST_LIBS ${CMAKE_BINARY_DIR}/app-test-libs)
file(MAKE_DIRECTORY ${APP_TEST_LIBS}/none)
foreach(variant complete partial)
  add_library(app_stub_${variant} SHARED ${CMAKE_CURRENT_LIST_DIR}/StubLibrary.cpp)
  set_target_properties(app_stub_${variant} PROPERTIES
    PREFIX "" SUFFIX "" OUTPUT_NAME "QUILLBOX.DLL"
    LIBRARY_OUTPUT_DIRECTORY ${APP_TEST_LIBS}/${variant}
    CXX_VISIBILITY_PRESET hidden)
endforeach()
target_compile_definitions(app_stub_complete PRIVATE STUB_WITH_WAIT_FOR_FILE)

# The probe has no RUNPATH: only LD_LIBRARY_PATH decides which library it finds.
add_executable(app_startup_probe ${CMAKE_CURRENT_LIST_DIR}/StartupProbe.cpp)
target_include_directories(app_startup_probe PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(app_startup_probe PRIVATE explorer_ui)
set_target_properties(app_startup_probe PROPERTIES SKIP_BUILD_RPATH TRUE)

quill_add_test(NAME app_startup_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/StartupTest.cpp LIBS res TIMEOUT 90)
add_dependencies(app_startup_test app_startup_probe app_stub_complete app_stub_partial Quillbox)
