// Any bytes survive the way into the review dialog's editor and back unchanged, as long as
// their line ends are CR LF (a bare LF comes back as CR LF).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/scriptfileunit_include.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    bool latin1 = false;
    const QString editor = qb::app::ScriptToEditor(text, latin1);
    const std::string back = qb::app::EditorToScript(editor, latin1);
    bool crlfOnly = true;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) crlfOnly = false;
    if (crlfOnly && back != text) std::abort();
    return 0;
}
