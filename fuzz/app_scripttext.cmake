# The review dialog's conversion of script bytes to editor text and back.
find_package(Qt6 QUIET COMPONENTS Widgets)
if(Qt6Widgets_FOUND)
  qb_add_fuzzer(app_scripttext
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/app_scripttext_fuzz.cpp ${PROJECT_SOURCE_DIR}/app/scriptfileunit_text.cpp
    LIBS Qt6::Widgets)
  target_include_directories(fuzz_app_scripttext PRIVATE ${PROJECT_SOURCE_DIR})
endif()
