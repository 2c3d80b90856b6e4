#include "settings/RegStore.h"
#include "settings/UserFolders.h"

#include "settings/FolderSync.h"
#include "settings/UniqueFd.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace {

// Marks a file as ours ("MgRg") and names its layout.
constexpr int kApplicationId = 0x4D675267;
constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 10000;

constexpr const char* kSchema = R"sql(
CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,
                  name TEXT NOT NULL COLLATE NOCASE, UNIQUE(parent, name));
CREATE TABLE vals(id INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL,
                  name TEXT NOT NULL COLLATE NOCASE, type INTEGER NOT NULL, data BLOB NOT NULL,
                  UNIQUE(key, name));
INSERT INTO keys(id, parent, name) VALUES (1, 0, 'HKEY_CLASSES_ROOT'), (2, 0, 'HKEY_CURRENT_USER'),
                                          (3, 0, 'HKEY_LOCAL_MACHINE');
)sql";

LONG codeFor(int rc)
{
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return ERROR_SUCCESS;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_SCHEMA:
    case SQLITE_ERROR:  // a table or column missing: not our layout
        return ERROR_REGISTRY_CORRUPT;
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_AUTH:
        return ERROR_ACCESS_DENIED;
    default:
        return ERROR_REGISTRY_IO_FAILED;
    }
}

// One connection to the store file.
struct Db {
    sqlite3* db = nullptr;
    ~Db() { sqlite3_close_v2(db); }
};
using DbPtr = std::shared_ptr<Db>;

class Stmt {
public:
    Stmt(Db& d, const char* sql) { rc_ = sqlite3_prepare_v2(d.db, sql, -1, &s_, nullptr); }
    ~Stmt() { sqlite3_finalize(s_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& bind(int i, std::int64_t v)
    {
        if (rc_ == SQLITE_OK)
            rc_ = sqlite3_bind_int64(s_, i, v);
        return *this;
    }
    Stmt& bind(int i, const std::string& v)
    {
        if (rc_ == SQLITE_OK)
            rc_ = sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& bindBlob(int i, const BYTE* p, std::size_t n)
    {
        if (rc_ != SQLITE_OK)
            return *this;
        rc_ = n == 0 ? sqlite3_bind_zeroblob(s_, i, 0)
                     : sqlite3_bind_blob(s_, i, p, static_cast<int>(n), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int step()
    {
        if (rc_ != SQLITE_OK && rc_ != SQLITE_ROW)
            return rc_;
        rc_ = sqlite3_step(s_);
        return rc_;
    }
    std::int64_t integer(int col) const { return sqlite3_column_int64(s_, col); }
    std::string text(int col) const
    {
        auto p = reinterpret_cast<const char*>(sqlite3_column_text(s_, col));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(s_, col))) : std::string();
    }
    const BYTE* blob(int col) const { return static_cast<const BYTE*>(sqlite3_column_blob(s_, col)); }
    std::size_t bytes(int col) const { return static_cast<std::size_t>(sqlite3_column_bytes(s_, col)); }

private:
    sqlite3_stmt* s_ = nullptr;
    int rc_ = SQLITE_OK;
};

LONG exec(Db& d, const char* sql) { return codeFor(sqlite3_exec(d.db, sql, nullptr, nullptr, nullptr)); }

// A write transaction: BEGIN IMMEDIATE takes the write lock at once, so two
// processes queue up (busy timeout) instead of one losing its change.
class WriteTxn {
public:
    explicit WriteTxn(Db& d) : d_(d) { rc_ = exec(d, "BEGIN IMMEDIATE"); }
    ~WriteTxn()
    {
        if (rc_ == ERROR_SUCCESS && !done_)
            exec(d_, "ROLLBACK");
    }
    WriteTxn(const WriteTxn&) = delete;
    WriteTxn& operator=(const WriteTxn&) = delete;
    LONG begun() const { return rc_; }
    LONG commit()
    {
        LONG rc = exec(d_, "COMMIT");
        done_ = rc == ERROR_SUCCESS;
        return rc;
    }

private:
    Db& d_;
    LONG rc_;
    bool done_ = false;
};

// A read transaction: every statement inside it sees the same state of the file.
class ReadSnapshot {
public:
    explicit ReadSnapshot(Db& d) : d_(d) { rc_ = exec(d, "BEGIN"); }
    ~ReadSnapshot()
    {
        if (rc_ == ERROR_SUCCESS)
            exec(d_, "COMMIT");
    }
    ReadSnapshot(const ReadSnapshot&) = delete;
    ReadSnapshot& operator=(const ReadSnapshot&) = delete;
    LONG begun() const { return rc_; }

private:
    Db& d_;
    LONG rc_;
};

std::optional<std::int64_t> pragmaInt(Db& d, const char* sql, LONG& rc)
{
    Stmt s(d, sql);
    int r = s.step();
    if (r != SQLITE_ROW) {
        rc = r == SQLITE_DONE ? ERROR_REGISTRY_IO_FAILED : codeFor(r);  // no answer is no success
        return std::nullopt;
    }
    return s.integer(0);
}

// A setting that did not take (a file system layer may answer the pragma
// itself) would leave every later commit undurable while reporting success.
LONG setSynchronousExtra(Db& d)
{
    constexpr std::int64_t kExtra = 3;
    if (LONG rc = exec(d, "PRAGMA synchronous=EXTRA"); rc != ERROR_SUCCESS)
        return rc;
    LONG rc = ERROR_SUCCESS;
    auto level = pragmaInt(d, "PRAGMA synchronous", rc);
    if (!level)
        return rc;
    return *level == kExtra ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

bool quickCheckOk(Db& d)
{
    Stmt s(d, "PRAGMA quick_check(1)");
    return s.step() == SQLITE_ROW && s.text(0) == "ok";
}

// Creates a folder with mode 0700 unless it is there already; a new folder's
// name is synced into its parent so that it outlives a crash.
LONG makeDir(const std::string& path)
{
    if (::mkdir(path.c_str(), 0700) == 0)
        return SyncFolder(ParentFolder(path)) ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
    struct stat st {};
    return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_SUCCESS
                                                                                     : ERROR_ACCESS_DENIED;
}

LONG makeDirs(const std::string& path)
{
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            if (LONG rc = makeDir(path.substr(0, i)); rc != ERROR_SUCCESS)
                return rc;
        }
    }
    return ERROR_SUCCESS;
}

// The file is created by hand so that it gets mode 0600 from the start;
// SQLite gives its journal the same mode. Its name must be on disk before the
// first change is reported as saved.
LONG createStoreFile(const std::string& path)
{
    const std::string dir = ParentFolder(path);
    if (LONG rc = makeDirs(dir); rc != ERROR_SUCCESS)
        return rc;
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd)
        return errno == EEXIST ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    const bool synced = ::fsync(fd.get()) == 0;
    if (!fd.close() || !synced || !SyncFolder(dir))
        return ERROR_REGISTRY_IO_FAILED;
    return ERROR_SUCCESS;
}

// Checks that the file is ours; an empty file (never written) becomes ours when
// we are about to write. Runs inside the caller's transaction when writing.
LONG checkLayout(Db& d, const std::string& path, bool forWrite)
{
    LONG rc = ERROR_SUCCESS;
    // Read the schema first so that a hot journal left by a crash is rolled back
    // before the size is looked at.
    auto app = pragmaInt(d, "PRAGMA application_id", rc);
    auto version = pragmaInt(d, "PRAGMA user_version", rc);
    if (!app || !version)
        return rc;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return ERROR_ACCESS_DENIED;
    if (st.st_size == 0) {
        if (!forWrite)
            return ERROR_FILE_NOT_FOUND;
        std::string init = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                           "; PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";" + kSchema;
        return exec(d, init.c_str());
    }
    if (*app != kApplicationId || *version != kSchemaVersion)
        return ERROR_REGISTRY_CORRUPT;
    if (forWrite && !quickCheckOk(d))
        return ERROR_REGISTRY_CORRUPT;
    return ERROR_SUCCESS;
}

enum class Mode { Read, Change, Create };

// Opens the store. Only Create makes a missing file; otherwise a missing store
// gives ERROR_FILE_NOT_FOUND.
LONG openStore(Mode mode, DbPtr& out)
{
    const bool forWrite = mode != Mode::Read;
    out.reset();
    std::string path = RegStorePath();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return ERROR_ACCESS_DENIED;
        if (mode != Mode::Create)
            return ERROR_FILE_NOT_FOUND;
        if (LONG rc = createStoreFile(path); rc != ERROR_SUCCESS)
            return rc;
    } else if (!S_ISREG(st.st_mode)) {
        return ERROR_REGISTRY_CORRUPT;
    }
    auto d = std::make_shared<Db>();
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX;
    int rc = sqlite3_open_v2(path.c_str(), &d->db, flags, nullptr);
    if (rc != SQLITE_OK)
        return codeFor(rc);
    sqlite3_busy_timeout(d->db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(d->db, 1);
    // Rollback journal with full syncs: a commit is on disk when it returns, and a
    // crash leaves the old or the new state. EXTRA also syncs the journal's removal
    // into the folder; without it a power cut just after a commit can bring the
    // journal back, and the next open rolls the commit back.
    if (LONG c = setSynchronousExtra(*d); c != ERROR_SUCCESS)
        return c;
    if (forWrite) {
        WriteTxn txn(*d);
        if (txn.begun() != ERROR_SUCCESS)
            return txn.begun();
        if (LONG c = checkLayout(*d, path, true); c != ERROR_SUCCESS)
            return c;
        if (LONG c = txn.commit(); c != ERROR_SUCCESS)
            return c;
    } else if (LONG c = checkLayout(*d, path, false); c != ERROR_SUCCESS) {
        return c;
    }
    out = std::move(d);
    return ERROR_SUCCESS;
}

std::int64_t rootId(HKEY h)
{
    switch (h) {
    case HKEY_CLASSES_ROOT:
        return 1;
    case HKEY_CURRENT_USER:
        return 2;
    case HKEY_LOCAL_MACHINE:
        return 3;
    default:
        return 0;
    }
}

struct OpenKey {
    DbPtr db;  // null when the store did not exist at open time
    std::int64_t id = 0;
    DWORD access = 0;
    std::size_t depth = 0;  // levels below the root
};

std::mutex gMutex;
std::map<HKEY, OpenKey> gHandles;
HKEY gNextHandle = 1;

// What an operation works on: a predefined root (store opened now) or an open key.
struct Target {
    DbPtr db;
    std::int64_t id = 0;
    std::size_t depth = 0;
};

// Reading a store that does not exist yet is reading an empty one: db stays null.
LONG openOrNothing(Mode mode, DbPtr& db)
{
    LONG rc = openStore(mode, db);
    return mode == Mode::Read && rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

LONG resolve(HKEY h, DWORD accessNeeded, Mode mode, Target& t)
{
    if (std::int64_t root = rootId(h); root != 0) {
        t.id = root;
        return openOrNothing(mode, t.db);
    }
    OpenKey k;
    {
        std::lock_guard lock(gMutex);
        auto it = gHandles.find(h);
        if (it == gHandles.end())
            return ERROR_INVALID_HANDLE;
        k = it->second;
    }
    if ((k.access & accessNeeded) != accessNeeded)
        return ERROR_ACCESS_DENIED;
    t.id = k.id;
    t.db = k.db;
    t.depth = k.depth;
    if (!t.db) {
        // The store was missing at open time; only a root's own handle gets here.
        return openOrNothing(mode, t.db);
    }
    return ERROR_SUCCESS;
}

HKEY addHandle(const DbPtr& db, std::int64_t id, DWORD access, std::size_t depth)
{
    std::lock_guard lock(gMutex);
    while (gHandles.count(gNextHandle) || gNextHandle <= 0)
        gNextHandle = gNextHandle <= 0 ? 1 : gNextHandle + 1;
    HKEY h = gNextHandle++;
    gHandles[h] = OpenKey{db, id, access, depth};
    return h;
}

LONG splitPath(const char* sub, std::vector<std::string>& parts)
{
    parts.clear();
    if (!sub || !*sub)
        return ERROR_SUCCESS;
    std::string s(sub);
    if (s.front() == '\\')
        return ERROR_INVALID_PARAMETER;
    if (s.back() == '\\')
        s.pop_back();
    std::size_t start = 0;
    while (true) {
        std::size_t end = s.find('\\', start);
        std::string part = s.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part.empty() || part.size() > kMaxKeyNameLength)
            return ERROR_INVALID_PARAMETER;
        parts.push_back(std::move(part));
        if (end == std::string::npos)
            return ERROR_SUCCESS;
        start = end + 1;
    }
}

LONG keyExists(Db& d, std::int64_t id)
{
    Stmt s(d, "SELECT 1 FROM keys WHERE id = ?");
    int r = s.bind(1, id).step();
    return r == SQLITE_ROW ? ERROR_SUCCESS : r == SQLITE_DONE ? ERROR_KEY_DELETED : codeFor(r);
}

LONG findChild(Db& d, std::int64_t parent, const std::string& name, std::int64_t& out)
{
    Stmt s(d, "SELECT id FROM keys WHERE parent = ? AND name = ?");
    int r = s.bind(1, parent).bind(2, name).step();
    if (r == SQLITE_ROW) {
        out = s.integer(0);
        return ERROR_SUCCESS;
    }
    return r == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : codeFor(r);
}

LONG findPath(Db& d, std::int64_t from, const std::vector<std::string>& parts, std::int64_t& out)
{
    if (LONG rc = keyExists(d, from); rc != ERROR_SUCCESS)
        return rc;
    out = from;
    for (const auto& p : parts) {
        if (LONG rc = findChild(d, out, p, out); rc != ERROR_SUCCESS)
            return rc;
    }
    return ERROR_SUCCESS;
}

// Inside a write transaction: walks the path from a key `fromDepth` levels
// below its root, creating what is missing.
LONG createPath(Db& d, std::int64_t from, std::size_t fromDepth, const std::vector<std::string>& parts,
                std::int64_t& out, bool& created)
{
    created = false;
    if (LONG rc = keyExists(d, from); rc != ERROR_SUCCESS)
        return rc;
    out = from;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string& p = parts[i];
        LONG rc = findChild(d, out, p, out);
        if (rc == ERROR_FILE_NOT_FOUND) {
            if (fromDepth + i + 1 > kMaxKeyDepth)
                return ERROR_INVALID_PARAMETER;
            Stmt ins(d, "INSERT INTO keys(parent, name) VALUES (?, ?)");
            if (int r = ins.bind(1, out).bind(2, p).step(); r != SQLITE_DONE)
                return codeFor(r);
            out = sqlite3_last_insert_rowid(d.db);
            created = true;
        } else if (rc != ERROR_SUCCESS) {
            return rc;
        }
    }
    return ERROR_SUCCESS;
}

LONG setValue(Db& d, std::int64_t key, const std::string& name, DWORD type, const BYTE* data, std::size_t n)
{
    // An update keeps the name's first spelling and its place in the enumeration.
    Stmt s(d, "INSERT INTO vals(key, name, type, data) VALUES (?, ?, ?, ?) "
              "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
    int r = s.bind(1, key).bind(2, name).bind(3, static_cast<std::int64_t>(type)).bindBlob(4, data, n).step();
    return r == SQLITE_DONE ? ERROR_SUCCESS : codeFor(r);
}

LONG deleteValue(Db& d, std::int64_t key, const std::string& name)
{
    Stmt s(d, "DELETE FROM vals WHERE key = ? AND name = ?");
    int r = s.bind(1, key).bind(2, name).step();
    if (r != SQLITE_DONE)
        return codeFor(r);
    return sqlite3_changes(d.db) > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// The key ?1 and every key below it. UNION takes each key once, so that the
// walk ends even where a damaged file has key rows in a loop.
constexpr const char* kTree = "WITH RECURSIVE t(id) AS (SELECT ?1 UNION "
                              "SELECT k.id FROM keys k JOIN t ON k.parent = t.id) ";

// Deletes everything below a key, and the key itself unless it is a root. A
// key below itself (key rows in a loop) has no tree to delete: the file is
// damaged, and nothing is changed.
LONG deleteTree(Db& d, std::int64_t id, bool keepSelf)
{
    Stmt loop(d, (std::string(kTree) + "SELECT 1 FROM keys WHERE id = ?1 AND parent IN t").c_str());
    if (int r = loop.bind(1, id).step(); r != SQLITE_DONE)
        return r == SQLITE_ROW ? ERROR_REGISTRY_CORRUPT : codeFor(r);
    std::string vals = std::string(kTree) + "DELETE FROM vals WHERE key IN t";
    std::string keys = std::string(kTree) + "DELETE FROM keys WHERE id IN t AND id > 3" +
                       (keepSelf ? " AND id <> ?1" : "");
    Stmt v(d, vals.c_str());
    if (int r = v.bind(1, id).step(); r != SQLITE_DONE)
        return codeFor(r);
    Stmt k(d, keys.c_str());
    if (int r = k.bind(1, id).step(); r != SQLITE_DONE)
        return codeFor(r);
    return ERROR_SUCCESS;
}

bool validValueName(const char* name) { return !name || std::strlen(name) <= kMaxValueNameLength; }

// Copies a stored datum to the caller's buffer with the Windows size rules.
LONG copyData(const BYTE* src, std::size_t n, BYTE* dst, DWORD* cb)
{
    if (!dst) {
        if (cb)
            *cb = static_cast<DWORD>(n);
        return ERROR_SUCCESS;
    }
    if (!cb)
        return ERROR_INVALID_PARAMETER;
    if (*cb < n) {
        *cb = static_cast<DWORD>(n);
        return ERROR_MORE_DATA;
    }
    if (n)
        std::memcpy(dst, src, n);
    *cb = static_cast<DWORD>(n);
    return ERROR_SUCCESS;
}

// Copies a name with its NUL into a buffer of cch characters.
LONG copyName(const std::string& name, char* dst, DWORD cch)
{
    if (!dst || name.size() + 1 > cch)
        return ERROR_MORE_DATA;
    std::memcpy(dst, name.c_str(), name.size() + 1);
    return ERROR_SUCCESS;
}

// The keys below `top` (with `recursive` all of them, else its sub-keys) put
// in `out` after it, depth first. The rows come sorted by parent and then in
// RegEnumKeyA's order, so each key's sub-keys are one run of them. With
// `recursive`, a `top` below itself (key rows in a loop, in a damaged file) has
// no tree to list: ERROR_REGISTRY_CORRUPT.
LONG readKeysBelow(Db& d, std::int64_t top, bool recursive, std::vector<RegTreeKey>& out,
                   std::unordered_map<std::int64_t, std::size_t>& indexOf)
{
    struct Row {
        std::int64_t id, parent;
        std::string name;
    };
    // The recursive query also gives the top's own row, for its parent.
    const std::string sql = recursive ? std::string(kTree) +
                                            "SELECT id, parent, name FROM keys WHERE id IN t ORDER BY parent, name, id"
                                      : "SELECT id, parent, name FROM keys WHERE parent = ?1 ORDER BY parent, name, id";
    Stmt s(d, sql.c_str());
    s.bind(1, top);
    std::vector<Row> rows;
    std::unordered_map<std::int64_t, std::pair<std::size_t, std::size_t>> childrenOf;  // [first, end) in rows
    std::optional<std::int64_t> topParent;
    int r;
    while ((r = s.step()) == SQLITE_ROW) {
        if (recursive && s.integer(0) == top) {
            topParent = s.integer(1);
            continue;
        }
        rows.push_back({s.integer(0), s.integer(1), s.text(2)});
        auto& run = childrenOf.try_emplace(rows.back().parent, rows.size() - 1, rows.size() - 1).first->second;
        run.second = rows.size();
    }
    if (r != SQLITE_DONE)
        return codeFor(r);
    auto isTopParent = [&](const Row& row) { return row.id == *topParent; };
    if (topParent && (*topParent == top || std::any_of(rows.begin(), rows.end(), isTopParent)))
        return ERROR_REGISTRY_CORRUPT;
    std::vector<std::size_t> pending;  // rows still to place, the next on top
    auto pushChildren = [&](std::int64_t id) {
        auto it = childrenOf.find(id);
        if (it == childrenOf.end())
            return;
        for (std::size_t i = it->second.second; i > it->second.first; --i)
            pending.push_back(i - 1);
    };
    pushChildren(top);
    while (!pending.empty()) {
        Row& row = rows[pending.back()];
        pending.pop_back();
        if (!indexOf.emplace(row.id, out.size()).second)
            continue;
        const std::size_t parent = indexOf.at(row.parent);
        out.push_back({parent, out[parent].depth + 1, std::move(row.name), {}});
        if (recursive)
            pushChildren(row.id);
    }
    return ERROR_SUCCESS;
}

// Adds their values to the keys `indexOf` knows, in each key's enumeration order.
LONG readValues(Db& d, std::int64_t top, bool recursive, std::vector<RegTreeKey>& out,
                const std::unordered_map<std::int64_t, std::size_t>& indexOf)
{
    const std::string sql = recursive ? std::string(kTree) +
                                            "SELECT key, name, type, data FROM vals WHERE key IN t ORDER BY key, id"
                                      : "SELECT key, name, type, data FROM vals WHERE key = ?1 ORDER BY key, id";
    Stmt s(d, sql.c_str());
    s.bind(1, top);
    int r;
    while ((r = s.step()) == SQLITE_ROW) {
        auto it = indexOf.find(s.integer(0));
        if (it == indexOf.end())
            continue;
        const BYTE* data = s.blob(3);
        out[it->second].values.push_back(
            {s.text(1), static_cast<DWORD>(s.integer(2)), std::vector<BYTE>(data, data + s.bytes(3))});
    }
    return r == SQLITE_DONE ? ERROR_SUCCESS : codeFor(r);
}

// Runs change(db, key id, whether the key is hKey itself) on the key lpSubKey
// names, in one write transaction that commits only if change succeeds.
template <typename F>
LONG changeKey(HKEY hKey, const char* lpSubKey, DWORD access, F change)
{
    std::vector<std::string> parts;
    if (LONG rc = splitPath(lpSubKey, parts); rc != ERROR_SUCCESS)
        return rc;
    Target t;
    if (LONG rc = resolve(hKey, access, Mode::Change, t); rc != ERROR_SUCCESS)
        return rc;
    WriteTxn txn(*t.db);
    if (txn.begun() != ERROR_SUCCESS)
        return txn.begun();
    std::int64_t id = 0;
    if (LONG rc = findPath(*t.db, t.id, parts, id); rc != ERROR_SUCCESS)
        return rc;
    if (LONG rc = change(*t.db, id, parts.empty()); rc != ERROR_SUCCESS)
        return rc;
    return txn.commit();
}

}  // namespace

std::string RegStorePath()
{
    const std::string base = UserBaseFolder("XDG_CONFIG_HOME", ".config");
    return base + "/marbleglen/registry.db";
}

LONG RegOpenKeyExA(HKEY hKey, const char* lpSubKey, DWORD, DWORD samDesired, HKEY* phkResult)
{
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = 0;
    std::vector<std::string> parts;
    if (LONG rc = splitPath(lpSubKey, parts); rc != ERROR_SUCCESS)
        return rc;
    Target t;
    if (LONG rc = resolve(hKey, 0, Mode::Read, t); rc != ERROR_SUCCESS)
        return rc;
    std::int64_t id = t.id;
    if (!t.db) {
        // Before the store exists only the roots do.
        if (!parts.empty())
            return ERROR_FILE_NOT_FOUND;
    } else if (LONG rc = findPath(*t.db, t.id, parts, id); rc != ERROR_SUCCESS) {
        return rc;
    }
    *phkResult = addHandle(t.db, id, samDesired, t.depth + parts.size());
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY hKey, const char* lpSubKey, DWORD, const char*, DWORD, DWORD samDesired, const void*,
                     HKEY* phkResult, DWORD* lpdwDisposition)
{
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = 0;
    std::vector<std::string> parts;
    if (LONG rc = splitPath(lpSubKey, parts); rc != ERROR_SUCCESS)
        return rc;
    Target t;
    if (LONG rc = resolve(hKey, parts.empty() ? 0 : KEY_CREATE_SUB_KEY, Mode::Create, t); rc != ERROR_SUCCESS)
        return rc;
    WriteTxn txn(*t.db);
    if (txn.begun() != ERROR_SUCCESS)
        return txn.begun();
    std::int64_t id = 0;
    bool created = false;
    if (LONG rc = createPath(*t.db, t.id, t.depth, parts, id, created); rc != ERROR_SUCCESS)
        return rc;
    if (LONG rc = txn.commit(); rc != ERROR_SUCCESS)
        return rc;
    if (lpdwDisposition)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *phkResult = addHandle(t.db, id, samDesired, t.depth + parts.size());
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY hKey, const char* lpValueName, DWORD*, DWORD* lpType, BYTE* lpData, DWORD* lpcbData)
{
    if (!validValueName(lpValueName) || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    Target t;
    if (LONG rc = resolve(hKey, KEY_QUERY_VALUE, Mode::Read, t); rc != ERROR_SUCCESS)
        return rc;
    if (!t.db)
        return ERROR_FILE_NOT_FOUND;
    Stmt s(*t.db, "SELECT type, data FROM vals WHERE key = ? AND name = ?");
    int r = s.bind(1, t.id).bind(2, std::string(lpValueName ? lpValueName : "")).step();
    if (r != SQLITE_ROW)
        return r == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : codeFor(r);
    if (lpType)
        *lpType = static_cast<DWORD>(s.integer(0));
    return copyData(s.blob(1), s.bytes(1), lpData, lpcbData);
}

LONG RegSetValueExA(HKEY hKey, const char* lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    if (!validValueName(lpValueName) || (!lpData && cbData))
        return ERROR_INVALID_PARAMETER;
    Target t;
    if (LONG rc = resolve(hKey, KEY_SET_VALUE, Mode::Create, t); rc != ERROR_SUCCESS)
        return rc;
    WriteTxn txn(*t.db);
    if (txn.begun() != ERROR_SUCCESS)
        return txn.begun();
    if (LONG rc = keyExists(*t.db, t.id); rc != ERROR_SUCCESS)
        return rc;
    if (LONG rc = setValue(*t.db, t.id, lpValueName ? lpValueName : "", dwType, lpData, cbData);
        rc != ERROR_SUCCESS)
        return rc;
    return txn.commit();
}

LONG RegCloseKey(HKEY hKey)
{
    if (rootId(hKey) != 0)
        return ERROR_SUCCESS;
    std::lock_guard lock(gMutex);
    return gHandles.erase(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegConnectRegistryA(const char* lpMachineName, HKEY hKey, HKEY* phkResult)
{
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = 0;
    if (lpMachineName && *lpMachineName)
        return ERROR_BAD_NETPATH;
    if (rootId(hKey) == 0)
        return ERROR_INVALID_HANDLE;
    *phkResult = hKey;
    return ERROR_SUCCESS;
}

LONG RegQueryInfoKeyA(HKEY hKey, char* lpClass, DWORD* lpcchClass, DWORD*, DWORD* lpcSubKeys,
                      DWORD* lpcbMaxSubKeyLen, DWORD* lpcbMaxClassLen, DWORD* lpcValues,
                      DWORD* lpcbMaxValueNameLen, DWORD* lpcbMaxValueLen, DWORD* lpcbSecurityDescriptor, void*)
{
    Target t;
    if (LONG rc = resolve(hKey, KEY_QUERY_VALUE, Mode::Read, t); rc != ERROR_SUCCESS)
        return rc;
    std::int64_t subKeys = 0, maxSub = 0, values = 0, maxName = 0, maxData = 0;
    if (t.db) {
        Stmt k(*t.db, "SELECT count(*), ifnull(max(length(CAST(name AS BLOB))), 0) FROM keys WHERE parent = ?");
        Stmt v(*t.db, "SELECT count(*), ifnull(max(length(CAST(name AS BLOB))), 0), "
                      "ifnull(max(length(data)), 0) FROM vals WHERE key = ?");
        int rk = k.bind(1, t.id).step();
        int rv = v.bind(1, t.id).step();
        if (rk != SQLITE_ROW || rv != SQLITE_ROW)
            return codeFor(rk != SQLITE_ROW ? rk : rv);
        subKeys = k.integer(0);
        maxSub = k.integer(1);
        values = v.integer(0);
        maxName = v.integer(1);
        maxData = v.integer(2);
    }
    if (lpClass && lpcchClass && *lpcchClass > 0)
        lpClass[0] = '\0';
    if (lpcchClass)
        *lpcchClass = 0;
    auto put = [](DWORD* p, std::int64_t v) {
        if (p)
            *p = static_cast<DWORD>(v);
    };
    put(lpcSubKeys, subKeys);
    put(lpcbMaxSubKeyLen, maxSub);
    put(lpcbMaxClassLen, 0);
    put(lpcValues, values);
    put(lpcbMaxValueNameLen, maxName);
    put(lpcbMaxValueLen, maxData);
    put(lpcbSecurityDescriptor, 0);
    return ERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, char* lpValueName, DWORD* lpcchValueName, DWORD*, DWORD* lpType,
                   BYTE* lpData, DWORD* lpcbData)
{
    if (!lpValueName || !lpcchValueName)
        return ERROR_INVALID_PARAMETER;
    Target t;
    if (LONG rc = resolve(hKey, KEY_QUERY_VALUE, Mode::Read, t); rc != ERROR_SUCCESS)
        return rc;
    if (!t.db)
        return ERROR_NO_MORE_ITEMS;
    Stmt s(*t.db, "SELECT name, type, data FROM vals WHERE key = ? ORDER BY id LIMIT 1 OFFSET ?");
    int r = s.bind(1, t.id).bind(2, static_cast<std::int64_t>(dwIndex)).step();
    if (r != SQLITE_ROW)
        return r == SQLITE_DONE ? ERROR_NO_MORE_ITEMS : codeFor(r);
    std::string name = s.text(0);
    if (LONG rc = copyName(name, lpValueName, *lpcchValueName); rc != ERROR_SUCCESS)
        return rc;
    *lpcchValueName = static_cast<DWORD>(name.size());
    if (lpType)
        *lpType = static_cast<DWORD>(s.integer(1));
    return copyData(s.blob(2), s.bytes(2), lpData, lpcbData);
}

LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, char* lpName, DWORD cchName)
{
    Target t;
    if (LONG rc = resolve(hKey, KEY_ENUMERATE_SUB_KEYS, Mode::Read, t); rc != ERROR_SUCCESS)
        return rc;
    if (!t.db)
        return ERROR_NO_MORE_ITEMS;
    Stmt s(*t.db, "SELECT name FROM keys WHERE parent = ? ORDER BY name, id LIMIT 1 OFFSET ?");
    int r = s.bind(1, t.id).bind(2, static_cast<std::int64_t>(dwIndex)).step();
    if (r != SQLITE_ROW)
        return r == SQLITE_DONE ? ERROR_NO_MORE_ITEMS : codeFor(r);
    return copyName(s.text(0), lpName, cchName);
}

LONG RegDeleteKeyA(HKEY hKey, const char* lpSubKey)
{
    return changeKey(hKey, lpSubKey, 0, [](Db& d, std::int64_t id, bool) {
        if (id <= 3)
            return ERROR_ACCESS_DENIED;  // a root
        Stmt kids(d, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
        int r = kids.bind(1, id).step();
        if (r != SQLITE_DONE)
            return r == SQLITE_ROW ? ERROR_ACCESS_DENIED : codeFor(r);
        return deleteTree(d, id, false);
    });
}

LONG RegDeleteTreeA(HKEY hKey, const char* lpSubKey)
{
    return changeKey(hKey, lpSubKey, 0,
                     [](Db& d, std::int64_t id, bool itself) { return deleteTree(d, id, itself); });
}

LONG RegDeleteValueA(HKEY hKey, const char* lpValueName)
{
    if (!validValueName(lpValueName))
        return ERROR_INVALID_PARAMETER;
    std::string name = lpValueName ? lpValueName : "";
    return changeKey(hKey, nullptr, KEY_SET_VALUE,
                     [&](Db& d, std::int64_t id, bool) { return deleteValue(d, id, name); });
}

DWORD ExpandEnvironmentStringsA(const char* lpSrc, char* lpDst, DWORD nSize)
{
    std::string in = lpSrc ? lpSrc : "";
    std::string out;
    std::size_t i = 0;
    while (i < in.size()) {
        std::size_t close = in[i] == '%' ? in.find('%', i + 1) : std::string::npos;
        if (close != std::string::npos && close > i + 1) {
            std::string name = in.substr(i + 1, close - i - 1);
            if (const char* v = std::getenv(name.c_str())) {
                out += v;
                i = close + 1;
                continue;
            }
        }
        out += in[i++];
    }
    DWORD needed = static_cast<DWORD>(out.size() + 1);
    if (lpDst && nSize >= needed)
        std::memcpy(lpDst, out.c_str(), needed);
    return needed;
}

LONG RegReadTree(HKEY hKey, const char* lpSubKey, bool recursive, std::vector<RegTreeKey>& out)
{
    out.clear();
    std::vector<std::string> parts;
    if (LONG rc = splitPath(lpSubKey, parts); rc != ERROR_SUCCESS)
        return rc;
    Target t;
    if (LONG rc = resolve(hKey, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, Mode::Read, t); rc != ERROR_SUCCESS)
        return rc;
    RegTreeKey top;
    top.depth = t.depth + parts.size();
    top.name = parts.empty() ? std::string() : parts.back();
    if (!t.db) {
        // Before the store exists only the roots do, empty.
        if (!parts.empty())
            return ERROR_FILE_NOT_FOUND;
        out.push_back(std::move(top));
        return ERROR_SUCCESS;
    }
    ReadSnapshot snapshot(*t.db);
    if (snapshot.begun() != ERROR_SUCCESS)
        return snapshot.begun();
    std::int64_t id = 0;
    if (LONG rc = findPath(*t.db, t.id, parts, id); rc != ERROR_SUCCESS)
        return rc;
    out.push_back(std::move(top));
    std::unordered_map<std::int64_t, std::size_t> indexOf{{id, 0}};
    LONG rc = readKeysBelow(*t.db, id, recursive, out, indexOf);
    if (rc == ERROR_SUCCESS)
        rc = readValues(*t.db, id, recursive, out, indexOf);
    if (rc != ERROR_SUCCESS)
        out.clear();
    return rc;
}

LONG RegApplyBatch(const std::vector<RegBatchOp>& ops)
{
    if (ops.empty())
        return ERROR_SUCCESS;  // nothing to change: not even a new file
    for (const auto& op : ops) {
        if (rootId(op.root) == 0)
            return ERROR_INVALID_HANDLE;
        // The C functions would cut a name at its NUL and reach another key or
        // value: "A\0B" is not "A".
        if (op.name.size() > kMaxValueNameLength || op.name.find('\0') != std::string::npos ||
            op.key.find('\0') != std::string::npos)
            return ERROR_INVALID_PARAMETER;
    }
    DbPtr db;
    if (LONG rc = openStore(Mode::Create, db); rc != ERROR_SUCCESS)
        return rc;
    WriteTxn txn(*db);
    if (txn.begun() != ERROR_SUCCESS)
        return txn.begun();
    // The lines of one key all name its path: it is walked once (a walk costs
    // a query per level), until a deletion may have taken it away.
    const RegBatchOp* walked = nullptr;
    std::int64_t walkedId = 0;
    auto createOnce = [&](const RegBatchOp& op, const std::vector<std::string>& parts, std::int64_t& id) {
        if (walked && walked->root == op.root && walked->key == op.key) {
            id = walkedId;
            return ERROR_SUCCESS;
        }
        bool created = false;
        LONG rc = createPath(*db, rootId(op.root), 0, parts, id, created);
        walked = rc == ERROR_SUCCESS ? &op : nullptr;
        walkedId = id;
        return rc;
    };
    for (const auto& op : ops) {
        std::vector<std::string> parts;
        if (LONG rc = splitPath(op.key.c_str(), parts); rc != ERROR_SUCCESS)
            return rc;
        std::int64_t id = 0;
        LONG rc = ERROR_SUCCESS;
        switch (op.kind) {
        case RegBatchOp::CreateKey:
            rc = createOnce(op, parts, id);
            break;
        case RegBatchOp::SetValue:
            rc = createOnce(op, parts, id);
            if (rc == ERROR_SUCCESS)
                rc = setValue(*db, id, op.name, op.type, op.data.data(), op.data.size());
            break;
        case RegBatchOp::DeleteTree:
            walked = nullptr;
            rc = findPath(*db, rootId(op.root), parts, id);
            if (rc == ERROR_SUCCESS)
                rc = deleteTree(*db, id, parts.empty());
            break;
        case RegBatchOp::DeleteValue:
            rc = findPath(*db, rootId(op.root), parts, id);
            if (rc == ERROR_SUCCESS)
                rc = deleteValue(*db, id, op.name);
            break;
        }
        bool deleting = op.kind == RegBatchOp::DeleteTree || op.kind == RegBatchOp::DeleteValue;
        if (rc != ERROR_SUCCESS && !(deleting && rc == ERROR_FILE_NOT_FOUND))
            return rc;
    }
    return txn.commit();
}

RegKeyHandle& RegKeyHandle::operator=(RegKeyHandle&& o) noexcept
{
    if (this != &o) {
        reset();
        h_ = o.h_;
        o.h_ = 0;
    }
    return *this;
}

HKEY* RegKeyHandle::put()
{
    reset();
    return &h_;
}

void RegKeyHandle::reset()
{
    if (h_ != 0)
        RegCloseKey(h_);
    h_ = 0;
}
