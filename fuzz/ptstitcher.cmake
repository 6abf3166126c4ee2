# The stitcher front's reading and rewriting of a stitcher script.
if(TARGET qb_ptstitcher)
  qb_add_fuzzer(ptstitcher_script
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ptstitcher_script_fuzz.cpp
    LIBS qb_ptstitcher)
endif()
