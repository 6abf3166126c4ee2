// The body shared by the memory bitmap's loading fuzz targets: the header's size first (an
// image too large for the fuzzing machine is skipped, as a real load of it would simply
// take its time and memory), then the whole load from a memory stream, then a save of what
// was loaded. Every failure must be an exception of ours.
#pragma once

#include <cstddef>
#include <cstdint>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "components/MemBitmapIO/zrstream.h"
#include "core/exceptions.h"

namespace qb::fuzz {

constexpr std::int64_t kMaxPixels = 2 * 1024 * 1024;

inline int LoadAndSave(const std::uint8_t* data, std::size_t size, TzrMemBitmapFileType type) {
    // The codec's own buffers are bounded as well (its per-file allocation limit).
    TzrMemBitmap::TIFFMaxSingleAlloc = 256 * 1024 * 1024;
    TzrMemoryStream in(data, size);
    int width = 0;
    int height = 0;
    try {
        if (type == mbftTIFF) TzrMemBitmap::GetTIFFSize(in, &width, &height);
        else TzrMemBitmap::GetJPEGSize(in, &width, &height);
    } catch (const Exception&) {
        return 0;
    }
    if (width < 0 || height < 0 || static_cast<std::int64_t>(width) * height > kMaxPixels) return 0;
    in.SetPosition(0);
    TzrMemBitmap bitmap;
    try {
        bitmap.LoadFromStream(in, type, 0);
    } catch (const Exception&) {
        return 0;
    }
    if (bitmap.GetWidth() > 0 && bitmap.GetHeight() > 0) {
        TzrMemoryStream out;
        try {
            bitmap.SaveToStream(out, type == mbftJPEG && bitmap.GetPixelFormat() == pf24bit ? mbftJPEG : mbftTIFF);
        } catch (const Exception&) {
        }
    }
    return 0;
}

}  // namespace qb::fuzz
