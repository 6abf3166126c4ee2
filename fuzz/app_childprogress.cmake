# The reading of a child's output: its lines and its progress.
qb_add_fuzzer(app_childprogress
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/app_childprogress_fuzz.cpp ${PROJECT_SOURCE_DIR}/app/childprogress.cpp)
target_include_directories(fuzz_app_childprogress PRIVATE ${PROJECT_SOURCE_DIR})
