// Fuzz target: a TIFF file loaded into the memory bitmap (page 0) and saved again.
#include "fuzz/membitmap_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return qb::fuzz::LoadAndSave(data, size, qb::mbftTIFF);
}
