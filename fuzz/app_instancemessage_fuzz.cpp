// Whatever arrives on the queue window's socket is taken apart without overrunning it; a
// message that is taken gives back its arguments when it is made again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/instancemessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string buffer(reinterpret_cast<const char*>(data), size);
    for (int round = 0; round < 4; ++round) {
        const size_t before = buffer.size();
        std::vector<std::string> args;
        const qb::app::TTakeResult r = qb::app::TakeCommandLine(buffer, args);
        if (r != qb::app::TTakeResult::trComplete) break;
        if (buffer.size() >= before) std::abort();  // a taken message is removed
        std::string again = qb::app::EncodeCommandLine(args);
        std::vector<std::string> back;
        if (qb::app::TakeCommandLine(again, back) != qb::app::TTakeResult::trComplete || back != args ||
            !again.empty())
            std::abort();
    }
    return 0;
}
