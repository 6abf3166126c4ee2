// The registry store: typed values under backslash key paths ("Software\Kelmora\vorda\Options"),
// kept in one SQLite file shared by every program of the suite. The file is
// $KELMORA_REGISTRY when set, else $XDG_CONFIG_HOME/kelmora/registry.sqlite3 (~/.config when
// XDG_CONFIG_HOME is unset). Key and value names compare without regard to case. Several
// processes may use the store at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/exceptions.h"

namespace qb::platform {

// Raised when the store file cannot be opened or used; the message names the file.
class ERegistryException : public qb::Exception {
public:
    using qb::Exception::Exception;
};

enum class TRegDataType { rdUnknown, rdString, rdInteger, rdBinary };

// One accessor, rooted at the current user's part of the store. Like the registry calls it
// stands for, it has at most one open key at a time; values are read and written in the
// open key.
class TRegistry {
public:
    TRegistry();                                  // the store of StoreFileName()
    explicit TRegistry(const std::string& storeFile);
    ~TRegistry();
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    // The store file that a default-constructed accessor uses.
    static std::string StoreFileName();
    const std::string& FileName() const { return fileName_; }
    // The store can only be read (its file or folder is not writable for this user): every
    // value reads as usual, every write raises an error that names the file.
    bool StoreReadOnly();

    // Key names with a leading backslash start at the root; others are taken below the open
    // key when there is one.
    // Opens a key for reading and writing, creating it (and its parents) when canCreate is
    // set. False when it does not exist and may not be created. Closes any key open before.
    bool OpenKey(const std::string& key, bool canCreate);
    // Opens an existing key for reading only; writes through it then fail.
    bool OpenKeyReadOnly(const std::string& key);
    void CloseKey();
    bool KeyExists(const std::string& key);
    // The open key's path as it was opened; empty when none is open.
    std::string CurrentPath() const { return currentPath_; }

    // Values of the open key. Without an open key a value does not exist.
    bool ValueExists(const std::string& name);
    TRegDataType GetDataType(const std::string& name);  // rdUnknown when absent
    // Reading a value of another type raises "Invalid data type for '<name>'"; nothing is
    // converted. An absent string reads as empty; an absent integer or binary value raises
    // "Failed to get data for '<name>'".
    std::string ReadString(const std::string& name);
    int32_t ReadInteger(const std::string& name);
    std::string ReadBinaryData(const std::string& name);
    // Writing raises "Failed to set data for '<name>'" when no key is open for writing.
    void WriteString(const std::string& name, const std::string& value);
    void WriteInteger(const std::string& name, int32_t value);
    void WriteBinaryData(const std::string& name, const std::string& bytes);
    bool DeleteValue(const std::string& name);

    struct Store;

private:
    std::string fileName_;
    std::shared_ptr<Store> store_;
    std::string currentPath_;
    int64_t currentKeyId_ = -1;
    bool readOnly_ = false;

    Store& Db();
    // Raises the error of a write to a store that can only be read.
    void FailReadOnly();
    void Write(const std::string& name, TRegDataType type, const std::string& text, int64_t number);
};

}  // namespace qb::platform
