// The options form's dialogs for tests: every message is kept, every question is answered
// from a queue, every request is recorded.
#pragma once

#include <cstdlib>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "settings/options.h"

namespace qb::test {

struct FakeDialogsLog {
    std::vector<std::string> errors;
    struct FileRequest {
        std::string title, filter, defaultExt, initialName;
    };
    std::vector<FileRequest> fileRequests;
    struct DirRequest {
        std::string prompt, directory;
    };
    std::vector<DirRequest> dirRequests;
    std::vector<int> helpContexts;
    // Answers: a name to confirm, or none for Cancel.
    std::deque<std::optional<std::string>> fileAnswers;
    std::deque<std::optional<std::string>> dirAnswers;
};

class FakeDialogs : public qb::settings::IOptionsDialogs {
public:
    explicit FakeDialogs(FakeDialogsLog& log) : log_(log) {}
    void ShowError(const std::string& message) override { log_.errors.push_back(message); }
    bool OpenFile(const std::string& title, const std::string& filter, const std::string& defaultExt,
                  const std::string& initialName, std::string& fileName) override {
        log_.fileRequests.push_back({title, filter, defaultExt, initialName});
        if (log_.fileAnswers.empty() || !log_.fileAnswers.front()) {
            if (!log_.fileAnswers.empty()) log_.fileAnswers.pop_front();
            return false;
        }
        fileName = *log_.fileAnswers.front();
        log_.fileAnswers.pop_front();
        return true;
    }
    bool SelectDirectory(const std::string& prompt, std::string& directory) override {
        log_.dirRequests.push_back({prompt, directory});
        if (log_.dirAnswers.empty() || !log_.dirAnswers.front()) {
            if (!log_.dirAnswers.empty()) log_.dirAnswers.pop_front();
            return false;
        }
        directory = *log_.dirAnswers.front();
        log_.dirAnswers.pop_front();
        return true;
    }
    void ShowHelp(int context) override { log_.helpContexts.push_back(context); }

private:
    FakeDialogsLog& log_;
};

// Sets (or, with a null value, removes) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_.c_str(), old_->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// The stand-in Panorama Tools library of a variant ("full", "nocount", "count0", "count3").
inline std::string StandinLibrary(const std::string& variant) {
    return std::string(QB_BINARY_DIR) + "/testlibs/libstandin_" + variant + ".so";
}

}  // namespace qb::test
