# The memory bitmap benchmark: our file input and output and pixel operations on one
# 6000 x 4000 picture, compared with libvips, ImageMagick and djpeg by
# bench/membitmap_bench.sh (see bench/README.md, "Image buffers").
if(TARGET qb_membitmap)
  add_executable(bench_membitmap ${CMAKE_CURRENT_LIST_DIR}/membitmap_bench.cpp)
  target_link_libraries(bench_membitmap PRIVATE qb_membitmap)
endif()
