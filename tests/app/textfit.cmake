# Whole texts in every window, once per device family (each build speaks as
# one family), at the default scale and at 1.5.
foreach(offset 0 96 116)
  if(offset EQUAL 116)
    set(_family_res res)
  else()
    if(NOT TARGET res_text_fit_${offset})
      add_library(res_text_fit_${offset} STATIC ${PROJECT_SOURCE_DIR}/explorer/res/Strings.cpp)
      target_include_directories(res_text_fit_${offset} PUBLIC ${PROJECT_SOURCE_DIR})
      target_compile_definitions(res_text_fit_${offset} PRIVATE BRAND_OFFSET=${offset})
    endif()
    # Linked ahead of explorer_ui, this family's string table is the one used.
    set(_family_res res_text_fit_${offset})
  endif()
  set(_name app_text_fit_${offset})
  quill_add_test(NAME ${_name}
                 SOURCES ${CMAKE_CURRENT_LIST_DIR}/TextFitTest.cpp ${CMAKE_CURRENT_LIST_DIR}/QtTestMain.cpp
                 LIBS ${_family_res} explorer_ui Qt6::Test TIMEOUT 120)
  target_include_directories(${_name} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_compile_definitions(${_name} PRIVATE EXPECTED_BRAND_OFFSET=${offset})
  # The same program at 1.5 times the size.
  add_test(NAME ${_name}_scaled COMMAND ${_name})
  get_test_property(${_name} ENVIRONMENT _env)
  set_tests_properties(${_name}_scaled PROPERTIES TIMEOUT 120 ENVIRONMENT "${_env};QT_SCALE_FACTOR=1.5")
endforeach()
