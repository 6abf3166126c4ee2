// A TptImage held as an image cache of the project model: the model releases and copies it
// through these operations (the copy is a TptImage of its own, made with CopyFrom).
#pragma once

#include <memory>

#include "model/datastructures.h"
#include "panotools/panocorrect.h"

namespace qb {

const TvrdCacheOps<TptImage>& PtImageCacheOps();

// Hands an image record to the model as a cache (null stays null).
TvrdCache<TptImage> MakePtImageCache(std::unique_ptr<TptImage> image);

}  // namespace qb
