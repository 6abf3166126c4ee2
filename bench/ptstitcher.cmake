# The PTStitcher benchmark's project and script maker (bench/ptstitcher_bench.sh, see
# bench/README.md, "PTStitcher").
if(TARGET qb_model)
  add_executable(bench_ptstitcher_script ${CMAKE_CURRENT_LIST_DIR}/ptstitcher_script.cpp)
  target_link_libraries(bench_ptstitcher_script PRIVATE qb_model qb_core)
endif()
