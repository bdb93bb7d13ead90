# The decisions both front-ends share, tested without either of them.
quill_add_test(NAME session_rules SOURCES ${CMAKE_CURRENT_LIST_DIR}/DeviceRulesTest.cpp
               ${CMAKE_CURRENT_LIST_DIR}/OutcomeTest.cpp ${CMAKE_CURRENT_LIST_DIR}/DeviceLookupTest.cpp
               ${CMAKE_CURRENT_LIST_DIR}/SelectionTest.cpp ${CMAKE_CURRENT_LIST_DIR}/DeviceRowsTest.cpp
               LIBS session ctl_core TIMEOUT 60)
quill_add_test(NAME session_commissioning SOURCES ${CMAKE_CURRENT_LIST_DIR}/CommissioningTest.cpp
               LIBS session TIMEOUT 60)
quill_add_test(NAME session_blocking_run SOURCES ${CMAKE_CURRENT_LIST_DIR}/BlockingOperationTest.cpp
               LIBS session TIMEOUT 60)
# The doctor's report from facts, its JSON keys against the README, and its
# probes on files of their own.
find_package(nlohmann_json 3 CONFIG REQUIRED)
quill_add_test(NAME session_doctor SOURCES ${CMAKE_CURRENT_LIST_DIR}/DoctorTest.cpp
               LIBS session nlohmann_json::nlohmann_json TIMEOUT 60)
