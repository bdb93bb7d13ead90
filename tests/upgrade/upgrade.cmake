# Upgrades through the main window and the real upgrade library, which is
# found beside the test as the program finds it beside itself.
quill_add_test(NAME upgrade_command_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/UpgradeCommandTest.cpp ${PROJECT_SOURCE_DIR}/tests/app/QtTestMain.cpp
               LIBS explorer_ui NET TIMEOUT 240)
set_target_properties(upgrade_command_test PROPERTIES BUILD_RPATH "\$ORIGIN")
target_link_options(upgrade_command_test PRIVATE -Wl,--enable-new-dtags)
add_dependencies(upgrade_command_test devicesim Quillbox)
