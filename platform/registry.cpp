#include "platform/registry.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>

#include "core/exceptions.h"

namespace qb::platform {

namespace {

// The store's tables: every key path (without leading or trailing backslash) and the
// values of each key. Names compare without regard to case.
const char* const kSchema =
    "PRAGMA journal_mode=WAL;"
    "BEGIN IMMEDIATE;"
    "CREATE TABLE IF NOT EXISTS keys(path TEXT PRIMARY KEY COLLATE NOCASE) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS vals(key TEXT COLLATE NOCASE, name TEXT COLLATE NOCASE,"
    " type INTEGER NOT NULL, data BLOB, PRIMARY KEY(key, name)) WITHOUT ROWID;"
    "PRAGMA user_version=1;"
    "COMMIT;";

// "\A\\B\" -> "A\B": no leading, trailing or doubled separators.
std::string Normalise(const std::string& key) {
    std::string out;
    for (size_t i = 0; i < key.size(); ++i) {
        if (key[i] == '\\') {
            if (!out.empty() && out.back() != '\\') out += '\\';
        } else {
            out += key[i];
        }
    }
    if (!out.empty() && out.back() == '\\') out.pop_back();
    return out;
}

// The URI of a store file opened for reading only, without journal files beside it.
std::string ReadOnlyUri(const std::string& file) {
    std::string uri = "file:";
    for (unsigned char c : file) {
        if (std::isalnum(c) || c == '/' || c == '.' || c == '-' || c == '_' || c == '~') {
            uri += static_cast<char>(c);
        } else {
            static const char hex[] = "0123456789ABCDEF";
            uri += '%';
            uri += hex[c >> 4];
            uri += hex[c & 15];
        }
    }
    return uri + "?mode=ro&immutable=1";
}

void MakeParentDirs(const std::string& file) {
    for (size_t p = file.find('/', 1); p != std::string::npos; p = file.find('/', p + 1))
        mkdir(file.substr(0, p).c_str(), 0700);
}

}  // namespace

// One connection to a store file, kept for the thread's lifetime so that the many short
// open-read-close sequences of the programs do not each pay for opening the database.
// Prepared statements are kept with it.
struct TRegistry::Store {
    sqlite3* db = nullptr;
    bool readOnly = false;
    std::map<const char*, sqlite3_stmt*> statements;
    ~Store() {
        for (auto& s : statements) sqlite3_finalize(s.second);
        if (db) sqlite3_close_v2(db);
    }
};

namespace {
thread_local std::map<std::string, std::shared_ptr<TRegistry::Store>> connections;
}  // namespace

// A kept prepared statement with its parameters bound, reset on every path.
class Statement {
public:
    Statement(TRegistry::Store& store, const std::string& file, const char* sql)
        : db_(store.db), file_(file) {
        sqlite3_stmt*& kept = store.statements[sql];
        if (!kept && sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &kept, nullptr) != SQLITE_OK) {
            kept = nullptr;
            Fail();
        }
        stmt_ = kept;
    }
    ~Statement() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    Statement& Text(int i, const std::string& v) {
        sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Blob(int i, const std::string& v) {
        sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Int(int i, int64_t v) {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    // True when a row is there.
    bool Step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) Fail();
        return false;
    }
    int64_t ColumnInt(int i) { return sqlite3_column_int64(stmt_, i); }
    std::string ColumnBytes(int i) {
        const void* p = sqlite3_column_blob(stmt_, i);
        const int n = sqlite3_column_bytes(stmt_, i);
        return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
    }
    int Changes() { return sqlite3_changes(db_); }

private:
    [[noreturn]] void Fail() {
        throw ERegistryException("Registry store " + file_ + ": " + sqlite3_errmsg(db_));
    }
    sqlite3* db_;
    std::string file_;
    sqlite3_stmt* stmt_ = nullptr;
};

TRegistry::TRegistry() : TRegistry(StoreFileName()) {}

TRegistry::TRegistry(const std::string& storeFile) : fileName_(storeFile) {}

TRegistry::~TRegistry() = default;

std::string TRegistry::StoreFileName() {
    if (const char* f = std::getenv("KELMORA_REGISTRY"); f && *f) return f;
    std::string base;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) {
        base = x;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home && *home ? home : "") + "/.config";
    }
    return base + "/kelmora/registry.sqlite3";
}

TRegistry::Store& TRegistry::Db() {
    if (store_) return *store_;
    if (auto it = connections.find(fileName_); it != connections.end()) {
        store_ = it->second;
        return *store_;
    }
    auto store = std::make_shared<Store>();
    auto fail = [&](const std::string& why) -> ERegistryException {
        return ERegistryException("Cannot open the registry store " + fileName_ + ": " + why);
    };
    MakeParentDirs(fileName_);
    // A store that this user may read but not change (the file, or the folder where the
    // store keeps its journal) is opened for reading only, as an unchanging file: it needs
    // nothing written beside it then.
    std::string folder = fileName_.substr(0, fileName_.rfind('/') + 1);
    if (folder.empty()) folder = ".";
    store->readOnly = access(fileName_.c_str(), F_OK) == 0 &&
                      (access(fileName_.c_str(), W_OK) != 0 || access(folder.c_str(), W_OK) != 0);
    const int rc = store->readOnly
                       ? sqlite3_open_v2(ReadOnlyUri(fileName_).c_str(), &store->db,
                                         SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr)
                       : sqlite3_open_v2(fileName_.c_str(), &store->db,
                                         SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const std::string why = store->db ? sqlite3_errmsg(store->db) : "out of memory";
        throw fail(why);
    }
    sqlite3_busy_timeout(store->db, 10000);
    // In WAL mode a commit survives a crash of the program without a sync at each write.
    sqlite3_exec(store->db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    int version = -1;
    if (sqlite3_prepare_v2(store->db, "PRAGMA user_version", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        version = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    if (version < 0) throw fail(sqlite3_errmsg(store->db));
    if (version == 0 && store->readOnly) throw fail("the store is read-only and holds no settings");
    if (version == 0) {
        char* err = nullptr;
        if (sqlite3_exec(store->db, kSchema, nullptr, nullptr, &err) != SQLITE_OK) {
            const std::string why = err ? err : sqlite3_errmsg(store->db);
            sqlite3_free(err);
            sqlite3_exec(store->db, "ROLLBACK", nullptr, nullptr, nullptr);
            throw fail(why);
        }
    }
    connections[fileName_] = store;
    store_ = std::move(store);
    return *store_;
}

namespace {
std::string FullPath(const std::string& current, bool keyOpen, const std::string& key) {
    if (!key.empty() && key[0] == '\\') return Normalise(key);
    if (keyOpen && !current.empty()) return Normalise(current + "\\" + key);
    return Normalise(key);
}
}  // namespace

bool TRegistry::StoreReadOnly() { return Db().readOnly; }

void TRegistry::FailReadOnly() {
    if (Db().readOnly)
        throw ERegistryException("The registry store " + fileName_ + " is read-only: the change cannot be saved");
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
    const std::string path = FullPath(currentPath_, currentKeyId_ >= 0, key);
    if (canCreate && !KeyExists("\\" + path)) {
        FailReadOnly();
        // The key and every parent, so that the tree is whole.
        for (size_t p = 0;; ++p) {
            p = path.find('\\', p);
            const std::string prefix = p == std::string::npos ? path : path.substr(0, p);
            if (!prefix.empty()) {
                Statement one(Db(), fileName_, "INSERT OR IGNORE INTO keys(path) VALUES(?1)");
                one.Text(1, prefix).Step();
            }
            if (p == std::string::npos) break;
        }
    } else if (!path.empty() && !KeyExists("\\" + path)) {
        return false;
    }
    CloseKey();
    currentPath_ = path;
    currentKeyId_ = 1;
    readOnly_ = false;
    return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string& key) {
    const std::string path = FullPath(currentPath_, currentKeyId_ >= 0, key);
    if (!path.empty() && !KeyExists("\\" + path)) return false;
    CloseKey();
    currentPath_ = path;
    currentKeyId_ = 1;
    readOnly_ = true;
    return true;
}

void TRegistry::CloseKey() {
    currentPath_.clear();
    currentKeyId_ = -1;
    readOnly_ = false;
}

bool TRegistry::KeyExists(const std::string& key) {
    const std::string path = FullPath(currentPath_, currentKeyId_ >= 0, key);
    if (path.empty()) return true;  // the root
    Statement q(Db(), fileName_, "SELECT 1 FROM keys WHERE path=?1");
    return q.Text(1, path).Step();
}

bool TRegistry::ValueExists(const std::string& name) { return GetDataType(name) != TRegDataType::rdUnknown; }

TRegDataType TRegistry::GetDataType(const std::string& name) {
    if (currentKeyId_ < 0) return TRegDataType::rdUnknown;
    Statement q(Db(), fileName_, "SELECT type FROM vals WHERE key=?1 AND name=?2");
    if (!q.Text(1, currentPath_).Text(2, name).Step()) return TRegDataType::rdUnknown;
    const int64_t t = q.ColumnInt(0);
    if (t < 1 || t > 3) return TRegDataType::rdUnknown;
    return static_cast<TRegDataType>(t);
}

namespace {
struct Value {
    bool found = false;
    TRegDataType type = TRegDataType::rdUnknown;
    std::string bytes;
    int64_t number = 0;
};
}  // namespace

static Value Fetch(TRegistry::Store& db, const std::string& file, const std::string& key, bool open,
                   const std::string& name) {
    Value v;
    if (!open) return v;
    Statement q(db, file, "SELECT type, data FROM vals WHERE key=?1 AND name=?2");
    if (q.Text(1, key).Text(2, name).Step()) {
        v.found = true;
        const int64_t t = q.ColumnInt(0);
        v.type = (t >= 1 && t <= 3) ? static_cast<TRegDataType>(t) : TRegDataType::rdUnknown;
        v.number = q.ColumnInt(1);
        v.bytes = q.ColumnBytes(1);
    }
    return v;
}

std::string TRegistry::ReadString(const std::string& name) {
    const Value v = Fetch(Db(), fileName_, currentPath_, currentKeyId_ >= 0, name);
    if (!v.found) return std::string();
    if (v.type != TRegDataType::rdString) throw ERegistryException("Invalid data type for '" + name + "'");
    return v.bytes;
}

int32_t TRegistry::ReadInteger(const std::string& name) {
    const Value v = Fetch(Db(), fileName_, currentPath_, currentKeyId_ >= 0, name);
    if (!v.found) throw ERegistryException("Failed to get data for '" + name + "'");
    if (v.type != TRegDataType::rdInteger) throw ERegistryException("Invalid data type for '" + name + "'");
    return static_cast<int32_t>(v.number);
}

std::string TRegistry::ReadBinaryData(const std::string& name) {
    const Value v = Fetch(Db(), fileName_, currentPath_, currentKeyId_ >= 0, name);
    if (!v.found) throw ERegistryException("Failed to get data for '" + name + "'");
    if (v.type != TRegDataType::rdBinary) throw ERegistryException("Invalid data type for '" + name + "'");
    return v.bytes;
}

void TRegistry::Write(const std::string& name, TRegDataType type, const std::string& bytes,
                      int64_t number) {
    if (currentKeyId_ < 0 || readOnly_)
        throw ERegistryException("Failed to set data for '" + name + "'");
    FailReadOnly();
    Statement q(Db(), fileName_,
                "INSERT OR REPLACE INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4)");
    q.Text(1, currentPath_).Text(2, name).Int(3, static_cast<int>(type));
    if (type == TRegDataType::rdInteger)
        q.Int(4, number);
    else
        q.Blob(4, bytes);
    q.Step();
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
    Write(name, TRegDataType::rdString, value, 0);
}

void TRegistry::WriteInteger(const std::string& name, int32_t value) {
    Write(name, TRegDataType::rdInteger, std::string(), value);
}

void TRegistry::WriteBinaryData(const std::string& name, const std::string& bytes) {
    Write(name, TRegDataType::rdBinary, bytes, 0);
}

bool TRegistry::DeleteValue(const std::string& name) {
    if (currentKeyId_ < 0 || readOnly_) return false;
    FailReadOnly();
    Statement q(Db(), fileName_, "DELETE FROM vals WHERE key=?1 AND name=?2");
    q.Text(1, currentPath_).Text(2, name).Step();
    return q.Changes() > 0;
}

}  // namespace qb::platform
