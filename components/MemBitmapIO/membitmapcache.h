// A TzrMemBitmap held as one of the bitmap caches of a project image: the model releases
// and copies it through these operations (the copy is a bitmap of its own, made with Assign).
#pragma once

#include <memory>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "model/datastructures.h"

namespace qb {

const TvrdCacheOps<TzrMemBitmap>& MemBitmapCacheOps();

// Hands a bitmap to the model as a cache (null stays null).
TvrdCache<TzrMemBitmap> MakeMemBitmapCache(std::unique_ptr<TzrMemBitmap> bitmap);

}  // namespace qb
