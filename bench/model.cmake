if(TARGET qb_model)
  add_executable(bench_model ${CMAKE_CURRENT_SOURCE_DIR}/model_bench.cpp)
  target_link_libraries(bench_model PRIVATE qb_model benchmark::benchmark)
endif()
