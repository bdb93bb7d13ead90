# quill_add_test(NAME n SOURCES ... LIBS ... [NET | LINKS [LINKS_ARGS ...]]
#                [TIMEOUT s] [LABELS ...])
# NET tests run only inside the project's private network namespace
# (scripts/netns.sh); LINKS tests in the PC namespace of the multi-link
# topology (scripts/netns-links.sh, given LINKS_ARGS). If the namespaces
# cannot be made they are skipped (77).
function(quill_add_test)
  cmake_parse_arguments(T "NET;LINKS" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;LINKS_ARGS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} test_support GTest::gtest_main GTest::gmock)
  if(T_LINKS)
    add_test(NAME ${T_NAME} COMMAND ${PROJECT_SOURCE_DIR}/scripts/netns-links.sh ${T_LINKS_ARGS}
             -- $<TARGET_FILE:${T_NAME}>)
    list(APPEND T_LABELS net links)
  elseif(T_NET)
    add_test(NAME ${T_NAME} COMMAND ${PROJECT_SOURCE_DIR}/scripts/netns.sh $<TARGET_FILE:${T_NAME}>)
    list(APPEND T_LABELS net)
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  endif()
  set_tests_properties(${T_NAME} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    SKIP_RETURN_CODE 77
    LABELS "${T_LABELS}"
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/support/qt-tsan.supp;QUILL_BIN_DIR=${CMAKE_BINARY_DIR}/bin;QUILL_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
