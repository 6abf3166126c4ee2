// Any script text is read without a crash; a script whose panorama line names a format reads
// back as PTmender's layer format once rewritten, and making image names absolute against an
// empty folder changes nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/ptstitcher/ptstitcher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    bool named = false;
    try {
        named = !qb::ptstitcher::ReadScriptFormat(text).name.empty();
    } catch (const qb::Exception&) {
        return 0;  // no panorama line
    }
    for (bool cropped : {false, true}) {
        const std::string forPTmender = qb::ptstitcher::ScriptForPTmender(text, cropped);
        const qb::ptstitcher::TScriptFormat f = qb::ptstitcher::ReadScriptFormat(forPTmender);
        if (named && f.name != "TIFF_m") std::abort();
        if (qb::ptstitcher::ScriptWithImagesFrom(forPTmender, "") != forPTmender) std::abort();
        qb::ptstitcher::ScriptWithImagesFrom(forPTmender, "/some folder/");
    }
    return 0;
}
