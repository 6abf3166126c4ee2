if(TARGET qb_model)
  qb_add_fuzzer(model_reader SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/model_reader_fuzz.cpp LIBS qb_model)
endif()
