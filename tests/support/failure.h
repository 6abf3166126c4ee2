// The message of the failure that an action raises, for tests that compare messages.
#pragma once

#include <functional>
#include <string>

#include "core/exceptions.h"

namespace qb::test {

// The qb::Exception message that `action` raises; "(no failure)" when it raises nothing.
inline std::string FailureMessage(const std::function<void()>& action) {
    try {
        action();
    } catch (const qb::Exception& e) {
        return e.message();
    }
    return "(no failure)";
}

}  // namespace qb::test
