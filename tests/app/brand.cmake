# The string table in each family's build.
foreach(offset 0 96)
  add_library(res_brand${offset} STATIC ${PROJECT_SOURCE_DIR}/explorer/res/Strings.cpp)
  target_include_directories(res_brand${offset} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_definitions(res_brand${offset} PRIVATE BRAND_OFFSET=${offset})
  quill_add_test(NAME app_brand_strings_${offset} SOURCES ${CMAKE_CURRENT_LIST_DIR}/BrandStringsTest.cpp
                 LIBS res_brand${offset} TIMEOUT 30)
endforeach()
quill_add_test(NAME app_brand_strings SOURCES ${CMAKE_CURRENT_LIST_DIR}/BrandStringsTest.cpp LIBS res TIMEOUT 30)
