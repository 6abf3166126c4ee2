#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

namespace qb::platform {

bool FileExists(const std::string& name) {
    struct stat st;
    return !name.empty() && stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& name) {
    struct stat st;
    return !name.empty() && stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool DeleteFile(const std::string& name) {
    struct stat st;
    if (name.empty() || lstat(name.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    return unlink(name.c_str()) == 0;
}

bool FileLockedByOthers(const std::string& name) {
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    bool locked = false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        locked = errno == EWOULDBLOCK;
    else
        flock(fd, LOCK_UN);
    ::close(fd);
    return locked;
}

std::vector<std::string> FindFiles(const std::string& dir, const std::string& pattern) {
    std::vector<std::string> names;
    const std::string base = IncludeTrailingPathDelimiter(dir.empty() ? "." : dir);
    DIR* d = opendir(base.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (fnmatch(pattern.c_str(), name.c_str(), 0) != 0) continue;
        if (!FileExists(base + name)) continue;
        names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> FindDirectories(const std::string& dir, const std::string& pattern) {
    std::vector<std::string> names;
    const std::string base = IncludeTrailingPathDelimiter(dir.empty() ? "." : dir);
    DIR* d = opendir(base.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (fnmatch(pattern.c_str(), name.c_str(), 0) != 0) continue;
        struct stat st;
        if (lstat((base + name).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool DeleteTree(const std::string& dir) {
    std::error_code error;
    std::filesystem::remove_all(dir, error);
    return !error;
}

std::string ExpandFileName(const std::string& name) {
    std::string full = name;
    if (full.empty() || full[0] != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) return name;
        full = IncludeTrailingPathDelimiter(cwd) + name;
    }
    // Resolve "." and ".." levels and doubled separators in the text.
    std::vector<std::string> parts;
    size_t i = 1;
    while (i <= full.size()) {
        size_t j = full.find('/', i);
        if (j == std::string::npos) j = full.size();
        const std::string part = full.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    if (out.empty()) out.push_back('/');
    // A trailing separator (a directory name) stays.
    if (full.size() > 1 && full.back() == '/' && out.back() != '/') out += '/';
    return out;
}

std::string ExtractFilePath(const std::string& name) {
    const size_t p = name.rfind('/');
    return p == std::string::npos ? std::string() : name.substr(0, p + 1);
}

std::string ExtractFileDir(const std::string& name) {
    const size_t p = name.rfind('/');
    if (p == std::string::npos) return std::string();
    return p == 0 ? std::string("/") : name.substr(0, p);
}

std::string ExtractFileName(const std::string& name) {
    const size_t p = name.rfind('/');
    return p == std::string::npos ? name : name.substr(p + 1);
}

std::string ExtractFileExt(const std::string& name) {
    const size_t slash = name.rfind('/');
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string();
    return name.substr(dot);
}

std::string ChangeFileExt(const std::string& name, const std::string& ext) {
    const size_t slash = name.rfind('/');
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name + ext;
    return name.substr(0, dot) + ext;
}

std::string IncludeTrailingPathDelimiter(const std::string& name) {
    if (!name.empty() && name.back() == PathDelim) return name;
    return name + PathDelim;
}

std::string ExcludeTrailingPathDelimiter(const std::string& name) {
    if (name.size() > 1 && name.back() == PathDelim) return name.substr(0, name.size() - 1);
    return name;
}

namespace {
std::vector<std::string> Levels(const std::string& dir) {
    std::vector<std::string> levels;
    size_t i = 0;
    while (i < dir.size()) {
        size_t j = dir.find('/', i);
        if (j == std::string::npos) j = dir.size();
        if (j > i) levels.push_back(dir.substr(i, j - i));
        i = j + 1;
    }
    return levels;
}
}  // namespace

std::string ExtractRelativePath(const std::string& baseDir, const std::string& fileName) {
    const auto base = Levels(baseDir);
    const auto target = Levels(ExtractFilePath(fileName));
    size_t shared = 0;
    while (shared < base.size() && shared < target.size() && base[shared] == target[shared])
        ++shared;
    std::string out;
    for (size_t i = shared; i < base.size(); ++i) out += "../";
    for (size_t i = shared; i < target.size(); ++i) out += target[i] + "/";
    return out + ExtractFileName(fileName);
}

std::string GetTempDirectory() {
    const char* t = std::getenv("TMPDIR");
    return IncludeTrailingPathDelimiter((t && *t) ? t : "/tmp");
}

std::string ExtractShortPathName(const std::string& name) { return name; }

std::string FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (!path || name.empty() || name.find('/') != std::string::npos) return std::string();
    const std::string list = path;
    size_t start = 0;
    for (;;) {
        const size_t end = list.find(':', start);
        std::string dir = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (dir.empty()) dir = ".";  // an empty entry is the current directory
        const std::string candidate = ExpandFileName(IncludeTrailingPathDelimiter(dir) + name);
        if (FileExists(candidate) && access(candidate.c_str(), X_OK) == 0) return candidate;
        if (end == std::string::npos) return std::string();
        start = end + 1;
    }
}

std::string ApplicationExeName() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    return std::string(buf, static_cast<size_t>(n));
}

}  // namespace qb::platform
