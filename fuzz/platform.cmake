qb_add_fuzzer(versioninfo SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/versioninfo_fuzz.cpp LIBS qb_platform)
