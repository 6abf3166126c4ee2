# The Panorama Tools transforms benchmark: Extract of a view from a large panorama through
# the bridge, compared with PTmender by bench/transforms_bench.sh (see bench/README.md,
# "Panorama Tools transforms").
if(TARGET qb_panotools AND TARGET pano12)
  add_executable(bench_transforms ${CMAKE_CURRENT_LIST_DIR}/transforms_bench.cpp)
  target_link_libraries(bench_transforms PRIVATE qb_panotools qb_membitmap)
  add_dependencies(bench_transforms pano12)
endif()
