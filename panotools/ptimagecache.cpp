#include "panotools/ptimagecache.h"

namespace qb {

namespace {
void ReleasePtImage(TptImage* image) { delete image; }

TptImage* CopyPtImage(const TptImage* image) {
    auto copy = std::make_unique<TptImage>();
    copy->CopyFrom(*image);
    return copy.release();
}
}  // namespace

const TvrdCacheOps<TptImage>& PtImageCacheOps() {
    static const TvrdCacheOps<TptImage> ops{ReleasePtImage, CopyPtImage};
    return ops;
}

TvrdCache<TptImage> MakePtImageCache(std::unique_ptr<TptImage> image) {
    return TvrdCache<TptImage>(image.release(), PtImageCacheOps());
}

}  // namespace qb
