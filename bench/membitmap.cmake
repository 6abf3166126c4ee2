# The memory bitmap as a command-line program: file input and output and pixel operations,
# each run as a whole process against libvips, ImageMagick and djpeg by
# bench/membitmap_bench.sh (see bench/README.md, "Image buffers").
if(TARGET qb_membitmap)
  add_executable(bench_membitmap ${CMAKE_CURRENT_LIST_DIR}/membitmap_bench.cpp)
  target_link_libraries(bench_membitmap PRIVATE qb_membitmap)
endif()
