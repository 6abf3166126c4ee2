#include "components/MemBitmapIO/membitmapcache.h"

namespace qb {

namespace {
void ReleaseBitmap(TzrMemBitmap* bitmap) { delete bitmap; }

TzrMemBitmap* CopyBitmap(const TzrMemBitmap* bitmap) {
    // The copy keeps the storage kind of the original: an on-disk cache stays on disk.
    auto copy = std::make_unique<TzrMemBitmap>();
    copy->SetOnDisk(bitmap->GetOnDisk());
    copy->Assign(bitmap);
    return copy.release();
}
}  // namespace

const TvrdCacheOps<TzrMemBitmap>& MemBitmapCacheOps() {
    static const TvrdCacheOps<TzrMemBitmap> ops{ReleaseBitmap, CopyBitmap};
    return ops;
}

TvrdCache<TzrMemBitmap> MakeMemBitmapCache(std::unique_ptr<TzrMemBitmap> bitmap) {
    return TvrdCache<TzrMemBitmap>(bitmap.release(), MemBitmapCacheOps());
}

}  // namespace qb
