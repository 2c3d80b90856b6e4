#include <gtest/gtest.h>

#include <sqlite3.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <utility>

#include "settings/RegStore.h"
#include "tests/settings/store_helpers.h"
#include "tests/support/TempStore.h"

using namespace storetest;

namespace {
// The file or folder whose fsync fails with EIO; empty: none.
std::string gFailSyncOf;
}  // namespace

// No file system here fails fsync on demand, so this program's own fsync stands
// in front of the C library's and fails for the one path asked for.
extern "C" int fsync(int fd)
{
    static const auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    if (!gFailSyncOf.empty()) {
        char path[4096];
        const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
        if (n > 0 && gFailSyncOf.compare(0, std::string::npos, path, static_cast<std::size_t>(n)) == 0) {
            errno = EIO;
            return -1;
        }
    }
    return real(fd);
}

namespace {

const char* kKey = "Software\\Marbleglen";

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

mode_t modeOf(const QString& path)
{
    struct stat st {};
    ::stat(path.toLocal8Bit().constData(), &st);
    return st.st_mode & 0777;
}

// Watches what the store leaves unsynced: while it lives, every new SQLite
// connection goes through this thin layer over the system's file layer, which
// forwards each call and notes database writes no sync has covered yet and
// journals deleted without syncing their folder. A killed process keeps what it
// wrote in the page cache, so only the syncs tell whether a change outlives a
// power cut.
class SyncWatch {
public:
    SyncWatch() : real_(sqlite3_vfs_find(nullptr))
    {
        vfs_ = *real_;
        vfs_.zName = "syncwatch";
        vfs_.szOsFile = static_cast<int>(sizeof(File)) + real_->szOsFile;
        vfs_.pAppData = this;
        vfs_.xOpen = &SyncWatch::open;
        vfs_.xDelete = &SyncWatch::remove;
        sqlite3_vfs_register(&vfs_, 1);
    }
    ~SyncWatch()
    {
        sqlite3_vfs_unregister(&vfs_);
        sqlite3_vfs_register(real_, 1);
    }
    SyncWatch(const SyncWatch&) = delete;
    SyncWatch& operator=(const SyncWatch&) = delete;

    int databaseWrites = 0;
    int unsyncedAtClose = 0;     // database files closed with writes not synced
    int unsyncedJournalEnds = 0;  // journals deleted without a sync of their folder
    // Not SQLITE_NOTFOUND: the answer to setting PRAGMA synchronous, given
    // instead of SQLite's own, as a file system layer may (SQLITE_OK: taken
    // and ignored).
    int synchronousAnswer = SQLITE_NOTFOUND;

    // Open database files with writes not synced.
    int unsyncedOpen() const
    {
        int n = 0;
        for (const File* f : open_)
            n += f->dirty;
        return n;
    }

private:
    struct File {
        sqlite3_file base;  // first: SQLite sees this
        SyncWatch* watch;
        bool database;
        bool dirty;
        sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
    };
    static File* of(sqlite3_file* f) { return reinterpret_cast<File*>(f); }
    static sqlite3_file* real(sqlite3_file* f) { return of(f)->real(); }

    static int open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags)
    {
        auto* watch = static_cast<SyncWatch*>(vfs->pAppData);
        File* f = of(file);
        f->base.pMethods = nullptr;
        const int rc = watch->real_->xOpen(watch->real_, name, f->real(), flags, outFlags);
        if (rc != SQLITE_OK || !f->real()->pMethods)
            return rc;
        *f = File{{&kMethods}, watch, (flags & SQLITE_OPEN_MAIN_DB) != 0, false};
        watch->open_.insert(f);
        return SQLITE_OK;
    }
    static int remove(sqlite3_vfs* vfs, const char* name, int syncDir)
    {
        auto* watch = static_cast<SyncWatch*>(vfs->pAppData);
        watch->unsyncedJournalEnds += !syncDir;
        return watch->real_->xDelete(watch->real_, name, syncDir);
    }
    static int close(sqlite3_file* file)
    {
        File* f = of(file);
        f->watch->unsyncedAtClose += f->dirty;
        f->watch->open_.erase(f);
        return f->real()->pMethods->xClose(f->real());
    }
    static int write(sqlite3_file* file, const void* data, int n, sqlite3_int64 at)
    {
        File* f = of(file);
        if (f->database) {
            f->dirty = true;
            ++f->watch->databaseWrites;
        }
        return f->real()->pMethods->xWrite(f->real(), data, n, at);
    }
    static int sync(sqlite3_file* file, int flags)
    {
        const int rc = real(file)->pMethods->xSync(real(file), flags);
        if (rc == SQLITE_OK)
            of(file)->dirty = false;
        return rc;
    }
    static int truncate(sqlite3_file* file, sqlite3_int64 size)
    {
        of(file)->dirty |= of(file)->database;
        return real(file)->pMethods->xTruncate(real(file), size);
    }
    static int fileControl(sqlite3_file* file, int op, void* arg)
    {
        if (op == SQLITE_FCNTL_PRAGMA && of(file)->watch->synchronousAnswer != SQLITE_NOTFOUND) {
            char** pragma = static_cast<char**>(arg);  // error text, name, value
            if (sqlite3_stricmp(pragma[1], "synchronous") == 0 && pragma[2])
                return of(file)->watch->synchronousAnswer;
        }
        return real(file)->pMethods->xFileControl(real(file), op, arg);
    }
    // The rest only forwards. Version 1: no shared memory (WAL) and no mapping,
    // which the store uses neither of.
    static constexpr sqlite3_io_methods kMethods = {
        1,
        &SyncWatch::close,
        [](sqlite3_file* f, void* data, int n, sqlite3_int64 at) {
            return real(f)->pMethods->xRead(real(f), data, n, at);
        },
        &SyncWatch::write,
        &SyncWatch::truncate,
        &SyncWatch::sync,
        [](sqlite3_file* f, sqlite3_int64* size) { return real(f)->pMethods->xFileSize(real(f), size); },
        [](sqlite3_file* f, int lock) { return real(f)->pMethods->xLock(real(f), lock); },
        [](sqlite3_file* f, int lock) { return real(f)->pMethods->xUnlock(real(f), lock); },
        [](sqlite3_file* f, int* out) { return real(f)->pMethods->xCheckReservedLock(real(f), out); },
        &SyncWatch::fileControl,
        [](sqlite3_file* f) { return real(f)->pMethods->xSectorSize(real(f)); },
        [](sqlite3_file* f) { return real(f)->pMethods->xDeviceCharacteristics(real(f)); },
        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    };

    sqlite3_vfs* real_;
    sqlite3_vfs vfs_{};
    std::set<File*> open_;
};

std::vector<std::string> subKeys(HKEY root, const std::string& key)
{
    std::vector<std::string> names;
    RegKeyHandle h;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, h.put()))
        return names;
    char buf[256];
    for (DWORD i = 0; RegEnumKeyA(h.get(), i, buf, sizeof buf) == ERROR_SUCCESS; ++i)
        names.emplace_back(buf);
    return names;
}

std::vector<std::string> valueNames(HKEY root, const std::string& key)
{
    std::vector<std::string> names;
    RegKeyHandle h;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, h.put()))
        return names;
    char buf[256];
    DWORD size = sizeof buf;
    for (DWORD i = 0; RegEnumValueA(h.get(), i, buf, &size, nullptr, nullptr, nullptr, nullptr) == 0;
         ++i, size = sizeof buf)
        names.emplace_back(buf, size);
    return names;
}

}  // namespace

TEST(Store, ReadingAMissingStoreCreatesNothing)
{
    TempStore store;
    EXPECT_EQ(get(HKEY_CURRENT_USER, kKey, "x").rc, ERROR_FILE_NOT_FOUND);
    RegKeyHandle h;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, h.put()), ERROR_SUCCESS);
    EXPECT_EQ(RegEnumKeyA(h.get(), 0, nullptr, 0), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, kKey), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(HKEY_CURRENT_USER, "x"), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(QFile::exists(store.storeFile()));
    EXPECT_FALSE(QFile::exists(store.configHome() + "/marbleglen"));
}

TEST(Store, FirstWriteCreatesPrivateFolderAndFile)
{
    TempStore store;
    ASSERT_EQ(put(HKEY_CURRENT_USER, kKey, "v", REG_SZ, bytesOf("x")), ERROR_SUCCESS);
    EXPECT_EQ(modeOf(store.configHome() + "/marbleglen"), 0700u);
    EXPECT_EQ(modeOf(store.storeFile()), 0600u);
}

TEST(Store, PathFollowsXdgConfigHomeAtEachOpen)
{
    TempStore first;
    ASSERT_EQ(put(HKEY_CURRENT_USER, kKey, "v", REG_SZ, bytesOf("first")), ERROR_SUCCESS);
    {
        TempStore second;
        EXPECT_EQ(get(HKEY_CURRENT_USER, kKey, "v").rc, ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(get(HKEY_CURRENT_USER, kKey, "v").data, bytesOf("first"));
}

TEST(Store, NamesIgnoreAsciiCaseAndKeepTheirFirstSpelling)
{
    TempStore store;
    ASSERT_EQ(put(HKEY_CURRENT_USER, "Software\\MarbleGlen", "varImagePath1", REG_SZ, bytesOf("a")), 0);
    ASSERT_EQ(put(HKEY_CURRENT_USER, "SOFTWARE\\marbleglen", "VARIMAGEPATH1", REG_SZ, bytesOf("b")), 0);
    EXPECT_EQ(get(HKEY_CURRENT_USER, "software\\MARBLEGLEN", "varimagepath1").data, bytesOf("b"));
    EXPECT_EQ(subKeys(HKEY_CURRENT_USER, "software"), std::vector<std::string>{"MarbleGlen"});
    EXPECT_EQ(valueNames(HKEY_CURRENT_USER, kKey), std::vector<std::string>{"varImagePath1"});

    // Outside ASCII, bytes compare exactly: these are two names.
    ASSERT_EQ(put(HKEY_CURRENT_USER, kKey, "\xC3\x84rger", REG_SZ, bytesOf("upper")), 0);
    ASSERT_EQ(put(HKEY_CURRENT_USER, kKey, "\xC3\xA4rger", REG_SZ, bytesOf("lower")), 0);
    EXPECT_EQ(get(HKEY_CURRENT_USER, kKey, "\xC3\x84RGER").data, bytesOf("upper"));
    EXPECT_EQ(get(HKEY_CURRENT_USER, kKey, "\xC3\xA4rger").data, bytesOf("lower"));
}

TEST(Store, RootsAreSeparateTrees)
{
    TempStore store;
    ASSERT_EQ(put(HKEY_CURRENT_USER, kKey, "v", REG_SZ, bytesOf("user")), 0);
    EXPECT_EQ(get(HKEY_LOCAL_MACHINE, kKey, "v").rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(get(HKEY_CLASSES_ROOT, kKey, "v").rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(get(0, kKey, "v").rc, ERROR_INVALID_HANDLE);
}

TEST(Store, QueryReportsTypeAndSizeBeforeTheData)
{
    TempStore store;
    ASSERT_EQ(put(HKEY_CURRENT_USER, kKey, "", REG_EXPAND_SZ, bytesOf("%HOME%")), 0);
    RegKeyHandle h;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE, h.put()), 0);
    DWORD type = 0, size = 0;
    BYTE one = 0;
    EXPECT_EQ(RegQueryValueExA(h.get(), "", nullptr, &type, &one, &size), ERROR_MORE_DATA);
    EXPECT_EQ(type, DWORD(REG_EXPAND_SZ));
    EXPECT_EQ(size, 7u);
    size = 3;
    EXPECT_EQ(RegQueryValueExA(h.get(), nullptr, nullptr, &type, &one, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(RegQueryValueExA(h.get(), nullptr, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(h.get(), "other", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST(Store, HandlesAreCheckedForValidityAndAccess)
{
    TempStore store;
    ASSERT_EQ(put(HKEY_CURRENT_USER, kKey, "v", REG_SZ, bytesOf("x")), 0);
    RegKeyHandle readOnly;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE, readOnly.put()), 0);
    BYTE b = 1;
    EXPECT_EQ(RegSetValueExA(readOnly.get(), "v", 0, REG_BINARY, &b, 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(readOnly.get(), "v"), ERROR_ACCESS_DENIED);
    char name[16];
    EXPECT_EQ(RegEnumKeyA(readOnly.get(), 0, name, sizeof name), ERROR_ACCESS_DENIED);
    HKEY closed = readOnly.get();
    readOnly.reset();
    EXPECT_EQ(RegCloseKey(closed), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegSetValueExA(closed, "v", 0, REG_BINARY, &b, 1), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
}

TEST(Store, NameLengthAndDepthLimits)
{
    TempStore store;
    const std::string k255(255, 'k'), k256(256, 'k');
    const std::string v16383(16383, 'v'), v16384(16384, 'v');
    auto chain = [](std::size_t levels) {
        std::string path = "D";
        for (std::size_t i = 1; i < levels; ++i)
            path += "\\d";
        return path;
    };
    struct Case {
        std::string key, value;
        LONG expected;
    } cases[] = {
        {"A\\" + k255, "x", ERROR_SUCCESS},       {"A\\" + k256, "x", ERROR_INVALID_PARAMETER},
        {"A", v16383, ERROR_SUCCESS},             {"A", v16384, ERROR_INVALID_PARAMETER},
        {"\\A", "x", ERROR_INVALID_PARAMETER},    {"A\\\\B", "x", ERROR_INVALID_PARAMETER},
        {"A\\B\\", "x", ERROR_SUCCESS},
        {chain(kMaxKeyDepth), "x", ERROR_SUCCESS}, {chain(kMaxKeyDepth + 1), "x", ERROR_INVALID_PARAMETER},
    };
    // The same rules whether a key is created on its own or in a batch.
    for (const auto& c : cases) {
        EXPECT_EQ(put(HKEY_CURRENT_USER, c.key, c.value, REG_SZ, bytesOf("x")), c.expected) << c.key.size();
        EXPECT_EQ(RegApplyBatch({{RegBatchOp::SetValue, HKEY_LOCAL_MACHINE, c.key, c.value, REG_SZ, bytesOf("x")}}),
                  c.expected)
            << c.key.size();
    }
    EXPECT_EQ(get(HKEY_CURRENT_USER, "A\\B", "x").rc, ERROR_SUCCESS);
    // Below an open key the levels above it count too.
    RegKeyHandle deep, deeper;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, chain(kMaxKeyDepth - 2).c_str(), 0, KEY_ALL_ACCESS, deep.put()), 0);
    EXPECT_EQ(RegCreateKeyExA(deep.get(), "e\\e\\e", 0, "", 0, KEY_ALL_ACCESS, nullptr, deeper.put(), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExA(deep.get(), "e\\e", 0, "", 0, KEY_ALL_ACCESS, nullptr, deeper.put(), nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCreateKeyExA(deeper.get(), "e", 0, "", 0, KEY_ALL_ACCESS, nullptr, deep.put(), nullptr),
              ERROR_INVALID_PARAMETER);
}

// A name the store would cut at its NUL never reaches the key or value before the NUL.
TEST(Store, ABatchRefusesNamesHoldingANul)
{
    TempStore store;
    ASSERT_EQ(put(HKEY_CURRENT_USER, kKey, "keep", REG_SZ, bytesOf("old")), 0);
    const std::string nul(1, '\0'), key = kKey;
    const RegBatchOp cases[] = {
        {RegBatchOp::DeleteTree, HKEY_CURRENT_USER, nul, "", 0, {}},
        {RegBatchOp::DeleteTree, HKEY_CURRENT_USER, "Software" + nul + "Elsewhere", "", 0, {}},
        {RegBatchOp::CreateKey, HKEY_CURRENT_USER, key + "\\A" + nul + "B", "", 0, {}},
        {RegBatchOp::SetValue, HKEY_CURRENT_USER, key + nul + "Elsewhere", "keep", REG_SZ, bytesOf("new")},
        {RegBatchOp::SetValue, HKEY_CURRENT_USER, key, "keep" + nul + "x", REG_SZ, bytesOf("new")},
        {RegBatchOp::DeleteValue, HKEY_CURRENT_USER, key, "keep" + nul + "x", 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key + "|" + c.name);
        EXPECT_EQ(RegApplyBatch({c}), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(get(HKEY_CURRENT_USER, kKey, "keep").data, bytesOf("old"));
        RegKeyHandle h;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, h.put()), ERROR_SUCCESS);
        DWORD subKeys = 0, values = 0;
        ASSERT_EQ(RegQueryInfoKeyA(h.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                                   nullptr, nullptr, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(subKeys, 0u);
        EXPECT_EQ(values, 1u);
    }
}

TEST(Store, DeleteKeyRefusesAKeyWithSubKeys)
{
    TempStore store;
    ASSERT_EQ(put(HKEY_CURRENT_USER, "A\\B\\C", "v", REG_SZ, bytesOf("x")), 0);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "A\\B"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(get(HKEY_CURRENT_USER, "A\\B\\C", "v").rc, ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "a\\b\\c"), ERROR_SUCCESS);
    EXPECT_EQ(get(HKEY_CURRENT_USER, "A\\B\\C", "v").rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "A\\B\\C"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, "A"), ERROR_SUCCESS);
    EXPECT_TRUE(subKeys(HKEY_CURRENT_USER, "").empty());
}

TEST(Store, AHandleToADeletedKeyWritesNothing)
{
    TempStore store;
    ASSERT_EQ(put(HKEY_CURRENT_USER, "A", "v", REG_SZ, bytesOf("x")), 0);
    RegKeyHandle h;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "A", 0, KEY_ALL_ACCESS, h.put()), 0);
    ASSERT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "A"), 0);
    BYTE b = 1;
    EXPECT_EQ(RegSetValueExA(h.get(), "v", 0, REG_BINARY, &b, 1), ERROR_KEY_DELETED);
    ASSERT_EQ(put(HKEY_CURRENT_USER, "A", "w", REG_SZ, bytesOf("y")), 0);
    EXPECT_EQ(valueNames(HKEY_CURRENT_USER, "A"), std::vector<std::string>{"w"});
}

TEST(Store, EnumerationFollowsInsertionForValuesAndNamesForKeys)
{
    TempStore store;
    for (const char* n : {"zeta", "alpha", "Mid"})
        ASSERT_EQ(put(HKEY_CURRENT_USER, kKey, n, REG_SZ, bytesOf(n)), 0);
    ASSERT_EQ(put(HKEY_CURRENT_USER, kKey, "ALPHA", REG_DWORD, Bytes{1, 0, 0, 0}), 0);
    EXPECT_EQ(valueNames(HKEY_CURRENT_USER, kKey), (std::vector<std::string>{"zeta", "alpha", "Mid"}));
    for (const char* k : {"b", "C", "a"})
        ASSERT_EQ(put(HKEY_CURRENT_USER, std::string("Root\\") + k, "", REG_SZ, bytesOf("")), 0);
    EXPECT_EQ(subKeys(HKEY_CURRENT_USER, "Root"), (std::vector<std::string>{"a", "b", "C"}));

    RegKeyHandle h;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Root", 0, KEY_READ, h.put()), 0);
    char small[1];
    EXPECT_EQ(RegEnumKeyA(h.get(), 0, small, sizeof small), ERROR_MORE_DATA);
    DWORD subKeyCount = 0, longestValueName = 0;
    ASSERT_EQ(RegQueryInfoKeyA(h.get(), nullptr, nullptr, nullptr, &subKeyCount, nullptr, nullptr, nullptr,
                               &longestValueName, nullptr, nullptr, nullptr),
              0);
    EXPECT_EQ(subKeyCount, 3u);
    EXPECT_EQ(longestValueName, 0u);
}

// Each key as "depth parent name: value names".
std::vector<std::string> treeRead(HKEY key, const char* sub, bool recursive, LONG expected = ERROR_SUCCESS)
{
    std::vector<RegTreeKey> keys;
    EXPECT_EQ(RegReadTree(key, sub, recursive, keys), expected) << sub;
    std::vector<std::string> shown;
    for (const auto& k : keys) {
        std::string line = std::to_string(k.depth) + " " + std::to_string(k.parent) + " " + k.name + ":";
        for (const auto& v : k.values)
            line += " " + v.name;
        shown.push_back(line);
    }
    return shown;
}

TEST(Store, ATreeIsReadDepthFirstInEnumerationOrder)
{
    TempStore store;
    using Lines = std::vector<std::string>;
    EXPECT_EQ(treeRead(HKEY_CURRENT_USER, "", true), Lines{"0 0 :"});
    treeRead(HKEY_CURRENT_USER, "T", true, ERROR_FILE_NOT_FOUND);
    for (auto [key, value] : {std::pair{"T", "z"}, {"T\\b\\y", "1"}, {"T\\C", "c"}, {"T", "a"},
                              {"T\\b\\x", "2"}, {"T\\a", "3"}, {"T\\b\\x", "1"}})
        ASSERT_EQ(put(HKEY_CURRENT_USER, key, value, REG_SZ, bytesOf("")), 0);
    EXPECT_EQ(treeRead(HKEY_CURRENT_USER, "T", true),
              (Lines{"1 0 T: z a", "2 0 a: 3", "2 0 b:", "3 2 x: 2 1", "3 2 y: 1", "2 0 C: c"}));
    EXPECT_EQ(treeRead(HKEY_CURRENT_USER, "t", false), (Lines{"1 0 t: z a", "2 0 a:", "2 0 b:", "2 0 C:"}));
    RegKeyHandle b;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "T\\B", 0, KEY_READ, b.put()), 0);
    EXPECT_EQ(treeRead(b.get(), "", true), (Lines{"2 0 :", "3 0 x: 2 1", "3 0 y: 1"}));
    treeRead(b.get(), "missing", true, ERROR_FILE_NOT_FOUND);
}

TEST(Store, ConnectingToAnotherMachineAlwaysFails)
{
    HKEY remote = 1;
    for (const char* machine : {"\\\\server", "\\\\localhost", "x"})
        EXPECT_EQ(RegConnectRegistryA(machine, HKEY_CURRENT_USER, &remote), ERROR_BAD_NETPATH) << machine;
    EXPECT_EQ(remote, 0);
    EXPECT_EQ(RegConnectRegistryA(nullptr, HKEY_CURRENT_USER, &remote), ERROR_SUCCESS);
    EXPECT_EQ(remote, HKEY_CURRENT_USER);
}

TEST(Store, ExpandEnvironmentStrings)
{
    setenv("MG_TEST_DIR", "/photos", 1);
    unsetenv("MG_TEST_UNSET");
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"%MG_TEST_DIR%/2025", "/photos/2025"}, {"%MG_TEST_UNSET%/x", "%MG_TEST_UNSET%/x"},
        {"50%", "50%"},                         {"%%", "%%"},
        {"%MG_TEST_UNSET%MG_TEST_DIR%", "%MG_TEST_UNSET/photos"},
        {"", ""},
    };
    for (const auto& c : cases) {
        DWORD n = ExpandEnvironmentStringsA(c.in, nullptr, 0);
        EXPECT_EQ(n, std::strlen(c.out) + 1) << c.in;
        std::vector<char> buf(n);
        EXPECT_EQ(ExpandEnvironmentStringsA(c.in, buf.data(), n), n);
        EXPECT_STREQ(buf.data(), c.out);
    }
}

// Every change is on disk when the call returns: the database file synced after
// its last write, and the journal's removal synced into its folder (else a power
// cut brings the journal back and the change is rolled back at the next open).
TEST(Store, EveryChangeIsOnDiskWhenTheCallReturns)
{
    TempStore store;
    ASSERT_EQ(put(HKEY_CURRENT_USER, kKey, "old", REG_SZ, bytesOf("x")), ERROR_SUCCESS);
    const std::pair<const char*, std::function<LONG()>> changes[] = {
        {"set a value", [] { return put(HKEY_CURRENT_USER, kKey, "new", REG_SZ, bytesOf("kept")); }},
        {"delete a value",
         [] {
             RegKeyHandle h;
             LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_ALL_ACCESS, h.put());
             return rc ? rc : RegDeleteValueA(h.get(), "old");
         }},
        {"apply a batch",
         [] {
             return RegApplyBatch({RegBatchOp{RegBatchOp::SetValue, HKEY_CURRENT_USER, kKey, "b", REG_SZ, bytesOf("1")}});
         }},
        {"delete a tree", [] { return RegDeleteTreeA(HKEY_CURRENT_USER, "Software"); }},
    };
    for (const auto& [what, change] : changes) {
        SyncWatch watch;
        ASSERT_EQ(change(), ERROR_SUCCESS) << what;
        EXPECT_GT(watch.databaseWrites, 0) << what;
        EXPECT_EQ(watch.unsyncedOpen() + watch.unsyncedAtClose, 0) << what << ": database writes not synced";
        EXPECT_EQ(watch.unsyncedJournalEnds, 0) << what << ": journal deleted without syncing its folder";
    }
}

// A sync that fails, or a sync setting that does not take, is an error: the
// change may not outlive a power cut, so it is never reported as saved.
TEST(Store, AFailedSyncIsNeverReportedAsSaved)
{
    struct Case {
        const char* what;
        bool folderThere;
        const char* failSyncOf;  // below the config folder
        int synchronousAnswer;
    } cases[] = {
        {"sync of the folder that receives the store's folder", false, "", SQLITE_NOTFOUND},
        {"sync of the folder after creating the store file", true, "/marbleglen", SQLITE_NOTFOUND},
        {"sync of the new store file", true, "/marbleglen/registry.db", SQLITE_NOTFOUND},
        {"synchronous setting refused", true, nullptr, SQLITE_IOERR},
        {"synchronous setting taken and ignored", true, nullptr, SQLITE_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempStore store;
        if (c.folderThere) {
            ASSERT_TRUE(QDir().mkpath(store.configHome() + "/marbleglen"));
        }
        {
            SyncWatch watch;
            watch.synchronousAnswer = c.synchronousAnswer;
            if (c.failSyncOf)
                gFailSyncOf = QDir(store.configHome()).canonicalPath().toStdString() + c.failSyncOf;
            const LONG rc = put(HKEY_CURRENT_USER, kKey, "v", REG_SZ, bytesOf("x"));
            gFailSyncOf.clear();
            EXPECT_NE(rc, ERROR_SUCCESS);
        }
        EXPECT_EQ(put(HKEY_CURRENT_USER, kKey, "v", REG_SZ, bytesOf("x")), ERROR_SUCCESS);
    }
}

TEST(Store, TwoProcessesWritingAtOnceLoseNothing)
{
    TempStore store;
    constexpr int kWrites = 40;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            int failures = 0;
            for (int i = 0; i < kWrites; ++i) {
                // Appended: GCC 12 at -O3 warns falsely (-Wrestrict) about "p" + std::to_string(c).
                const std::string name =
                    std::string("p").append(std::to_string(c)).append("_").append(std::to_string(i));
                failures += put(HKEY_CURRENT_USER, kKey, name, REG_SZ, bytesOf(name)) != 0;
            }
            _exit(failures);
        }
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(valueNames(HKEY_CURRENT_USER, kKey).size(), 2u * kWrites);
}

// A file that is not ours, or is damaged, is never written: every operation
// fails with 1015 and the file keeps every byte.
TEST(Store, AForeignOrDamagedFileIsLeftUntouched)
{
    auto foreignDatabase = [](const QString& path) {
        sqlite3* db = nullptr;
        sqlite3_open(path.toLocal8Bit().constData(), &db);
        sqlite3_exec(db, "CREATE TABLE notes(t TEXT); INSERT INTO notes VALUES ('mine')", nullptr, nullptr,
                     nullptr);
        sqlite3_close(db);
    };
    auto ourStoreDamagedAt = [](const QString& path, qint64 offset) {
        ASSERT_EQ(put(HKEY_CURRENT_USER, kKey, "v", REG_SZ, bytesOf(std::string(3000, 'x'))), 0);
        QByteArray bytes = fileBytes(path);
        ASSERT_GT(bytes.size(), offset + 64);
        for (int i = 0; i < 64; ++i)
            bytes[offset + i] = char(0xA5);
        writeFile(path, bytes);
    };
    struct Case {
        const char* what;
        std::function<void(const QString&)> make;
    } cases[] = {
        {"text file", [](const QString& p) { writeFile(p, "not a database\n"); }},
        {"foreign database", foreignDatabase},
        {"damaged header", [&](const QString& p) { ourStoreDamagedAt(p, 0); }},
        {"damaged page", [&](const QString& p) { ourStoreDamagedAt(p, 4096 + 8); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempStore store;
        QDir().mkpath(store.configHome() + "/marbleglen");
        c.make(store.storeFile());
        const QByteArray before = fileBytes(store.storeFile());
        ASSERT_FALSE(before.isEmpty());

        EXPECT_EQ(put(HKEY_CURRENT_USER, kKey, "w", REG_SZ, bytesOf("y")), ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, "Software"), ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(RegApplyBatch({RegBatchOp{RegBatchOp::CreateKey, HKEY_CURRENT_USER, "K", "", 0, {}}}),
                  ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(fileBytes(store.storeFile()), before);
        EXPECT_FALSE(QFile::exists(store.storeFile() + "-journal"));
    }
}

// Key rows in a loop (a hand-edited file) are no tree: deleting or listing the
// tree of a key in the loop fails with 1015 at once and changes nothing. The
// handle is opened first, as a loop not through a root cuts its keys off.
TEST(Store, KeyRowsInALoopAreReportedNotFollowed)
{
    const char* cases[] = {
        "UPDATE keys SET parent = (SELECT id FROM keys WHERE name = 'Marbleglen') WHERE id = 2",  // a root
        "UPDATE keys SET parent = id WHERE name = 'Marbleglen'",
        "UPDATE keys SET parent = (SELECT id FROM keys WHERE name = 'Sub') WHERE name = 'Software'",
    };
    for (const char* damage : cases) {
        SCOPED_TRACE(damage);
        TempStore store;
        ASSERT_EQ(put(HKEY_CURRENT_USER, std::string(kKey) + "\\Sub", "v", REG_SZ, bytesOf("x")), 0);
        RegKeyHandle h;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_ALL_ACCESS, h.put()), 0);
        sqlite3* db = nullptr;
        sqlite3_open(store.storeFile().toLocal8Bit().constData(), &db);
        ASSERT_EQ(sqlite3_exec(db, damage, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
        const QByteArray before = fileBytes(store.storeFile());

        alarm(10);  // following the loop must fail the test, not hang it
        std::vector<RegTreeKey> tree;
        EXPECT_EQ(RegReadTree(h.get(), nullptr, true, tree), ERROR_REGISTRY_CORRUPT);
        EXPECT_TRUE(tree.empty());
        EXPECT_EQ(RegDeleteTreeA(h.get(), nullptr), ERROR_REGISTRY_CORRUPT);
        alarm(0);
        EXPECT_EQ(fileBytes(store.storeFile()), before);
    }
}

TEST(Store, ABatchIsAppliedWhollyOrNotAtAll)
{
    TempStore store;
    EXPECT_EQ(RegApplyBatch({}), ERROR_SUCCESS);
    EXPECT_FALSE(QFile::exists(store.storeFile()));
    ASSERT_EQ(put(HKEY_CURRENT_USER, kKey, "keep", REG_SZ, bytesOf("old")), 0);
    std::vector<RegBatchOp> ops = {
        {RegBatchOp::SetValue, HKEY_CURRENT_USER, kKey, "keep", REG_SZ, bytesOf("new")},
        {RegBatchOp::DeleteTree, HKEY_CURRENT_USER, "Missing\\Key", "", 0, {}},
        {RegBatchOp::SetValue, HKEY_CURRENT_USER, "Bad\\\\Path", "v", REG_SZ, bytesOf("x")},
    };
    EXPECT_EQ(RegApplyBatch(ops), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(get(HKEY_CURRENT_USER, kKey, "keep").data, bytesOf("old"));

    ops.pop_back();
    ops.push_back({RegBatchOp::DeleteValue, HKEY_CURRENT_USER, kKey, "absent", 0, {}});
    EXPECT_EQ(RegApplyBatch(ops), ERROR_SUCCESS);
    EXPECT_EQ(get(HKEY_CURRENT_USER, kKey, "keep").data, bytesOf("new"));
}
