# The message in which a second program hands its command line to the running queue window.
qb_add_fuzzer(app_instancemessage
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/app_instancemessage_fuzz.cpp ${PROJECT_SOURCE_DIR}/app/instancemessage.cpp)
target_include_directories(fuzz_app_instancemessage PRIVATE ${PROJECT_SOURCE_DIR})
