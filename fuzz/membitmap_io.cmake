# Loading hostile TIFF and JPEG files into the memory bitmap through LoadFromStream.
# Seeds: fuzz/corpus/tiff and fuzz/corpus/jpeg.
if(TARGET qb_membitmap)
  qb_add_fuzzer(membitmap_tiff SOURCES ${CMAKE_CURRENT_LIST_DIR}/membitmap_tiff.cpp LIBS qb_membitmap)
  qb_add_fuzzer(membitmap_jpeg SOURCES ${CMAKE_CURRENT_LIST_DIR}/membitmap_jpeg.cpp LIBS qb_membitmap)
endif()
