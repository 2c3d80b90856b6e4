#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include <sqlite3.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include "settings/AppSettings.h"
#include "settings/UniqueFd.h"
#include "tests/support/TempStore.h"
#include "tools/StoreTree.h"

namespace {

struct Result {
    int code = -1;
    std::string out, err;
};

// Runs the real command on the store TempStore points at.
Result reg(const QStringList& args, const QByteArray& input = {})
{
    QProcess p;
    p.start(MARBLEGLEN_REG_BIN, args);
    p.write(input);
    p.closeWriteChannel();
    // A command still running when the wait ends has no exit code: -1, never 0.
    const bool finished = p.waitForFinished(30000);
    return {finished && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            p.readAllStandardOutput().toStdString(),
            p.readAllStandardError().toStdString()};
}

const char* kDone = "The operation completed successfully.\n";
const char* kMissing = "ERROR: The system was unable to find the specified registry key or value.\n";
const QString kKey = "HKCU\\Software\\Marbleglen";

// A key `levels` below HKCU.
QString deepKey(int levels) { return "HKCU" + QString("\\d").repeated(levels); }

void add(const QStringList& args)
{
    Result r = reg(QStringList{"add", kKey} + args + QStringList{"/f"});
    ASSERT_EQ(r.code, 0) << r.err;
}

std::vector<regfile::Key> tree(HKEY root, const std::string& path)
{
    std::vector<regfile::Key> keys;
    storetree::ReadTree(root, path, "", true, keys);
    return keys;
}

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// A Unix socket bound at `path`; it stays there while the descriptor lives.
UniqueFd socketAt(const QString& path)
{
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    if (!fd || static_cast<std::size_t>(name.size()) >= sizeof address.sun_path)
        return UniqueFd();
    std::memcpy(address.sun_path, name.constData(), static_cast<std::size_t>(name.size()));
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return UniqueFd();
    return fd;
}

std::vector<char*> argv(const QStringList& args, std::vector<QByteArray>& storage)
{
    storage = {MARBLEGLEN_REG_BIN};
    for (const QString& a : args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char*> out;
    for (QByteArray& b : storage)
        out.push_back(b.data());
    out.push_back(nullptr);
    return out;
}

// Runs the command after `beforeExec` has seen its process id (which exec keeps),
// so a test can plant files at names derived from it. Output is dropped.
int regWithPid(const QStringList& args, const std::function<void(pid_t)>& beforeExec)
{
    std::vector<QByteArray> storage;
    std::vector<char*> cargv = argv(args, storage);
    int go[2];
    if (::pipe(go) != 0)
        return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        char c;
        ::close(go[1]);
        int null = ::open("/dev/null", O_WRONLY);
        if (::read(go[0], &c, 1) == 1 && ::dup2(null, 1) == 1 && ::dup2(null, 2) == 2)
            ::execv(cargv[0], cargv.data());
        ::_exit(127);
    }
    ::close(go[0]);
    beforeExec(pid);
    (void)!::write(go[1], "x", 1);
    ::close(go[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the command on a new pseudo-terminal in raw mode, typing `input`, and
// returns what it wrote there.
std::string regOnTerminal(const QStringList& args, const std::string& input = {})
{
    std::vector<QByteArray> storage;
    std::vector<char*> cargv = argv(args, storage);
    struct termios raw {};
    ::cfmakeraw(&raw);
    int master = -1;
    pid_t pid = ::forkpty(&master, nullptr, &raw, nullptr);
    if (pid == 0) {
        ::execv(cargv[0], cargv.data());
        ::_exit(127);
    }
    if (!input.empty() && ::write(master, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        return "(could not type the input)";
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(master, buf, sizeof buf)) > 0)  // EIO once the command has gone
        out.append(buf, static_cast<std::size_t>(n));
    ::close(master);
    ::waitpid(pid, nullptr, 0);
    return out;
}

}  // namespace

TEST(MarbleglenReg, AnAddedCaptionIsWhatTheProgramReadsNext)
{
    TempStore store;
    Result r = reg({"add", "HKCU\\Software\\Marbleglen", "/v", "txtImageCaption1", "/d", "Summer holidays 2025"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, kDone);
    EXPECT_EQ(AppSettings::ReadText("txtImageCaption1"), "Summer holidays 2025");
}

TEST(MarbleglenReg, QueryPrintsEveryTypeInRegStyle)
{
    TempStore store;
    add({"/ve", "/d", "default"});
    add({"/v", "path", "/t", "REG_EXPAND_SZ", "/d", "%HOME%\\x"});
    add({"/v", "bin", "/t", "REG_BINARY", "/d", "00ff10"});
    add({"/v", "n", "/t", "REG_DWORD", "/d", "10"});
    add({"/v", "be", "/t", "REG_DWORD_BIG_ENDIAN", "/d", "0x10"});
    add({"/v", "multi", "/t", "REG_MULTI_SZ", "/d", "a\\0b"});
    add({"/v", "none", "/t", "REG_NONE", "/d", ""});
    Result sub = reg({"add", kKey + "\\Sub", "/v", "x", "/d", "1"});
    ASSERT_EQ(sub.code, 0);

    const std::string values = "\nHKEY_CURRENT_USER\\Software\\Marbleglen\n"
                               "    (Default)    REG_SZ    default\n"
                               "    path    REG_EXPAND_SZ    %HOME%\\x\n"
                               "    bin    REG_BINARY    00FF10\n"
                               "    n    REG_DWORD    0xa\n"
                               "    be    REG_DWORD_BIG_ENDIAN    0x10\n"
                               "    multi    REG_MULTI_SZ    a\\0b\n"
                               "    none    REG_NONE    \n";
    Result r = reg({"query", kKey});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, values + "\nHKEY_CURRENT_USER\\Software\\Marbleglen\\Sub\n\n");

    r = reg({"query", "HKEY_CURRENT_USER\\Software\\Marbleglen", "/s"});
    EXPECT_EQ(r.out, values + "\nHKEY_CURRENT_USER\\Software\\Marbleglen\\Sub\n    x    REG_SZ    1\n\n");

    r = reg({"query", kKey, "/v", "N"});
    EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\Marbleglen\n    n    REG_DWORD    0xa\n\n");
    r = reg({"query", kKey, "/ve"});
    EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\Marbleglen\n    (Default)    REG_SZ    default\n\n");
}

TEST(MarbleglenReg, MissingKeysAndBadArgumentsFail)
{
    TempStore store;
    Result r = reg({"query", kKey});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, kMissing);
    EXPECT_FALSE(QFile::exists(store.storeFile()));

    add({"/v", "a", "/d", "1"});
    struct Case {
        QStringList args;
        const char* err;
    } cases[] = {
        {{"query", kKey, "/v", "b"}, kMissing},
        {{"delete", kKey, "/v", "b", "/f"}, kMissing},
        {{"delete", kKey + "\\Nope", "/f"}, kMissing},
        {{"export", kKey + "\\Nope", store.configHome() + "/x.reg"}, kMissing},
        {{"query", "HKU\\Software"}, "ERROR: Invalid key name"},
        {{"query", "\\\\server\\HKLM\\Software"}, "ERROR: Invalid key name"},
        {{"add", kKey, "/v", "n", "/t", "REG_DWORD", "/d", "-1"}, "ERROR: The data for REG_DWORD"},
        {{"add", kKey, "/v", "n", "/t", "REG_DWORD", "/d", "4294967296"}, "ERROR: The data for REG_DWORD"},
        {{"add", kKey, "/v", "b", "/t", "REG_BINARY", "/d", "0g"}, "ERROR: The data for REG_BINARY"},
        {{"add", kKey, "/v", "b", "/t", "REG_WHATEVER"}, "ERROR: Invalid type"},
        {{"add", kKey, "/v", "a", "/ve"}, "ERROR: Invalid syntax"},
        {{"delete", "HKCU", "/f"}, "ERROR: Invalid key name"},
        // What import refuses in a name, add refuses too.
        {{"add", kKey + "\\a\rb", "/f"}, "ERROR: Invalid key name"},
        {{"add", kKey, "/v", "a\x1b[2J", "/d", "x", "/f"}, "ERROR: Invalid value name"},
        {{"add", kKey, "/v", "tab\there", "/f"}, "ERROR: Invalid value name"},
        {{"import", store.configHome() + "/x.reg", "/cp", "99999"}, "ERROR: Invalid code page 99999"},
        {{"add", deepKey(513)}, "ERROR: Invalid key name: the key is more than 512 levels deep.\n"},
        {{"query", deepKey(513)}, "ERROR: Invalid key name: the key is more than 512 levels deep.\n"},
        {{"frobnicate", kKey}, "ERROR: Invalid syntax"},
        {{}, "ERROR: Invalid syntax"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        Result e = reg(c.args);
        EXPECT_EQ(e.code, 1);
        EXPECT_EQ(e.err.rfind(c.err, 0), 0u) << e.err;
    }
    EXPECT_EQ(AppSettings::ReadText("a"), "1");
    EXPECT_EQ(tree(HKEY_CURRENT_USER, "Software\\Marbleglen").size(), 1u);
}

TEST(MarbleglenReg, AddAsksBeforeOverwritingAndDeleteBeforeRemoving)
{
    TempStore store;
    add({"/v", "a", "/d", "old"});
    Result r = reg({"add", kKey, "/v", "a", "/d", "new"});  // no answer: nothing changes
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(AppSettings::ReadText("a"), "old");
    r = reg({"add", kKey, "/v", "a", "/d", "new"}, "yes\n");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(AppSettings::ReadText("a"), "new");

    r = reg({"delete", kKey, "/v", "a"}, "no\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(AppSettings::ReadText("a"), "new");
    r = reg({"delete", kKey, "/v", "A"}, "y\n");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, std::string("Delete the registry value A (Yes/No)? ") + kDone);
    EXPECT_EQ(AppSettings::ReadText("a"), "");
}

TEST(MarbleglenReg, DeleteRemovesValuesOrWholeKeys)
{
    TempStore store;
    add({"/v", "a", "/d", "1"});
    add({"/v", "b", "/d", "2"});
    ASSERT_EQ(reg({"add", kKey + "\\Sub\\Deeper", "/ve", "/d", "x"}).code, 0);

    EXPECT_EQ(reg({"delete", kKey, "/va", "/f"}).out, kDone);
    auto keys = tree(HKEY_CURRENT_USER, "Software\\Marbleglen");
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_TRUE(keys[0].values.empty());
    EXPECT_EQ(keys[2].values.size(), 1u);

    EXPECT_EQ(reg({"delete", kKey, "/f"}).out, kDone);
    EXPECT_TRUE(tree(HKEY_CURRENT_USER, "Software\\Marbleglen").empty());
    EXPECT_EQ(tree(HKEY_CURRENT_USER, "Software").size(), 1u);
}

TEST(MarbleglenReg, ExportThenImportIntoAnEmptyStoreGivesTheSameStore)
{
    QString file;
    std::vector<regfile::Key> before;
    TempStore source;
    file = source.configHome() + "/settings.reg";
    add({"/ve", "/d", "Caf\xC3\xA9 \"quoted\" C:\\dir\\"});
    add({"/v", "path", "/t", "REG_EXPAND_SZ", "/d", "%HOME%/Pictures"});
    add({"/v", "bin", "/t", "REG_BINARY", "/d", QString("0a").repeated(200)});
    add({"/v", "n", "/t", "REG_DWORD", "/d", "0xdeadbeef"});
    add({"/v", "be", "/t", "REG_DWORD_BIG_ENDIAN", "/d", "7"});
    add({"/v", "multi", "/t", "REG_MULTI_SZ", "/d", "one\\0two"});
    add({"/v", "none", "/t", "REG_NONE", "/d", "01"});
    add({"/v", "q", "/t", "REG_QWORD", "/d", "1"});
    ASSERT_EQ(reg({"add", kKey + "\\Empty\\Sub"}).code, 0);
    ASSERT_EQ(reg({"add", kKey + QString("\\d").repeated(510), "/v", "deepest", "/d", "512"}).code, 0);
    ASSERT_EQ(reg({"add", "HKLM\\Other", "/v", "x", "/d", "not exported"}).code, 0);
    before = tree(HKEY_CURRENT_USER, "Software\\Marbleglen");

    Result r = reg({"export", kKey, file});
    ASSERT_EQ(r.code, 0) << r.err;
    const QByteArray exported = fileBytes(file);
    EXPECT_TRUE(exported.startsWith("\xFF\xFEW\0i\0n\0"));

    r = reg({"export", kKey, file});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("/y"), std::string::npos);
    EXPECT_EQ(reg({"export", kKey, file, "/y"}).code, 0);

    TempStore target;
    r = reg({"import", file});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, kDone);
    auto after = tree(HKEY_CURRENT_USER, "Software\\Marbleglen");
    ASSERT_EQ(after.size(), before.size());
    ASSERT_EQ(after.size(), 3u + 510u);
    for (std::size_t k = 0; k < after.size(); ++k) {
        EXPECT_EQ(after[k].name, before[k].name);
        ASSERT_EQ(after[k].values.size(), before[k].values.size());
        for (std::size_t v = 0; v < after[k].values.size(); ++v) {
            SCOPED_TRACE(before[k].values[v].name);
            EXPECT_EQ(after[k].values[v].name, before[k].values[v].name);
            EXPECT_EQ(after[k].values[v].type, before[k].values[v].type);
            EXPECT_EQ(after[k].values[v].data, before[k].values[v].data);
        }
    }
    EXPECT_TRUE(tree(HKEY_LOCAL_MACHINE, "Other").empty());
}

// Export writes only what import reads back: the largest file that import
// reads back is written and comes back unchanged; a store that would need more
// (the largest file import reads, 8-bit text, doubles as UTF-16) is refused whole.
TEST(MarbleglenReg, ExportWritesOnlyWhatImportReadsBack)
{
    TempStore source;
    const QString in = source.configHome() + "/in.reg", out = source.configHome() + "/out.reg";
    auto fileWith = [](std::size_t chars) {
        return "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Marbleglen]\n\"big\"=\"" +
               QByteArray(static_cast<qsizetype>(chars), 'x') + "\"\n";
    };
    auto importText = [&](std::size_t chars) {
        writeFile(in, fileWith(chars));
        return reg({"import", in});
    };
    std::string empty, error;
    ASSERT_TRUE(regfile::Format({{"HKEY_CURRENT_USER\\Software\\Marbleglen", {{"big", REG_SZ, {0}}}}}, empty, error));
    const std::size_t fits = (regfile::kMaxFileSize - empty.size()) / 2;  // two bytes a character
    ASSERT_EQ(importText(fits).code, 0);
    Result r = reg({"export", kKey, out});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(static_cast<std::size_t>(QFileInfo(out).size()), regfile::kMaxFileSize);
    {
        TempStore target;
        r = reg({"import", out});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(AppSettings::ReadText("big"), std::string(fits, 'x'));
    }

    const QByteArray exported = fileBytes(out);
    const std::size_t largest = regfile::kMaxFileSize - static_cast<std::size_t>(fileWith(0).size());
    for (std::size_t chars : {fits + 1, largest}) {
        SCOPED_TRACE(chars);
        ASSERT_EQ(importText(chars).code, 0);
        r = reg({"export", kKey, out, "/y"});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err.rfind("ERROR: Cannot export: the file would hold ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(" bytes, more than the 4194304 bytes an import reads"), std::string::npos) << r.err;
        EXPECT_EQ(fileBytes(out), exported);
    }
    EXPECT_EQ(static_cast<std::size_t>(QFileInfo(in).size()), regfile::kMaxFileSize);
}

// Many values in the deepest key import, and a chain of keys made before the
// depth limit and many keys side by side read, in time linear in their number;
// export refuses what import would refuse.
TEST(MarbleglenReg, HugeTreesImportAndReadInLinearTime)
{
    TempStore store;
    QByteArray values = "REGEDIT4\n[HKEY_CURRENT_USER" + QByteArray("\\d").repeated(512) + "]\n";
    for (int i = 0; i < 20000; ++i)
        values += "\"v" + QByteArray::number(i) + "\"=\"x\"\n";
    writeFile(store.configHome() + "/values.reg", values);
    QElapsedTimer timer;
    timer.start();
    ASSERT_EQ(reg({"import", store.configHome() + "/values.reg"}).code, 0);
    EXPECT_LT(timer.elapsed(), 10000);  // walking the key's path again for each value took a minute
    const auto deepest = tree(HKEY_CURRENT_USER, deepKey(512).toStdString().substr(5));
    ASSERT_EQ(deepest.size(), 1u);
    EXPECT_EQ(deepest[0].values.size(), 20000u);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(store.storeFile()).constData(), &db), SQLITE_OK);
    const char* sql = "BEGIN;"
                      "INSERT INTO keys(id, parent, name) VALUES (1000000, 2, 'Chain'), (1000001, 2, 'Fan');"
                      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000) "
                      "INSERT INTO keys(id, parent, name) "
                      "SELECT 1001000 + i, CASE i WHEN 1 THEN 1000000 ELSE 1000999 + i END, 'c' FROM n WHERE i <= 5000 "
                      "UNION ALL SELECT 1100000 + i, 1000001, 'f' || i FROM n;"
                      "INSERT INTO vals(key, name, type, data) SELECT id, 'v', 1, x'00' FROM keys WHERE id > 1001000;"
                      "COMMIT;";
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);

    for (auto [key, count] : {std::pair{"Chain", 5001u}, {"Fan", 20001u}}) {
        SCOPED_TRACE(key);
        QElapsedTimer timer;
        timer.start();
        auto keys = tree(HKEY_CURRENT_USER, key);
        EXPECT_LT(timer.elapsed(), 5000);  // reopening each key by its path took minutes
        ASSERT_EQ(keys.size(), count);
        EXPECT_EQ(keys.back().values.size(), 1u);
    }
    const QString file = store.configHome() + "/chain.reg";
    Result r = reg({"export", "HKCU\\Chain", file});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "ERROR: Cannot export HKEY_CURRENT_USER\\Chain: a key below it is more than 512 levels deep, "
                     "which import refuses. Delete it first.\n");
    EXPECT_FALSE(QFile::exists(file));
}

TEST(MarbleglenReg, ABrokenImportChangesNothingAndNamesItsLine)
{
    TempStore store;
    add({"/v", "keep", "/d", "old"});
    const QByteArray before = fileBytes(store.storeFile());
    const QString file = store.configHome() + "/broken.reg";
    const QByteArray start = "REGEDIT4\r\n\r\n[-HKEY_CURRENT_USER\\Software]\r\n[HKEY_CURRENT_USER\\New]\r\n"
                             "\"keep\"=\"new\"\r\n\r\n; fine so far\r\n";
    struct Case {
        QByteArray rest;
        std::string err;
    } cases[] = {
        {"\"bad\"=dword:xyz\r\n", "ERROR: line 8: the dword has no hex digits. Nothing was imported.\n"},
        {"[-HKEY_CURRENT_USER]\r\n", "ERROR: line 8: a root key cannot be deleted. Nothing was imported.\n"},
        // A NUL would cut the name short: the root itself, or the real key.
        {QByteArray("[-HKEY_CURRENT_USER\\") + '\0' + "]\r\n",
         "ERROR: line 8: the key name holds a NUL character. Nothing was imported.\n"},
        {QByteArray("[HKEY_CURRENT_USER\\Software\\Marbleglen") + '\0' + "Elsewhere]\r\n\"keep\"=\"new\"\r\n",
         "ERROR: line 8: the key name holds a NUL character. Nothing was imported.\n"},
        {QByteArray("[HKEY_CURRENT_USER\\Software\\Marbleglen]\r\n\"keep") + '\0' + "x\"=\"new\"\r\n",
         "ERROR: line 9: the value name holds a NUL character. Nothing was imported.\n"},
        {"[HKEY_CURRENT_USER\\Software\\Mar\rbleglen]\r\n",
         "ERROR: line 8: the key name holds a control character. Nothing was imported.\n"},
        {"[HKEY_CURRENT_USER" + QByteArray("\\d").repeated(513) + "]\r\n",
         "ERROR: line 8: the key is more than 512 levels deep. Nothing was imported.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rest.toStdString());
        writeFile(file, start + c.rest);
        Result r = reg({"import", file});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(fileBytes(store.storeFile()), before);
        EXPECT_EQ(AppSettings::ReadText("keep"), "old");
    }
    // The same words as deleting a root by hand.
    EXPECT_EQ(reg({"delete", "HKCU", "/f"}).err, "ERROR: Invalid key name: a root key cannot be deleted.\n");
}

// Scripts feed imports through pipes; the limit holds for them too.
TEST(MarbleglenReg, ImportReadsRegularFilesAndPipesOfBoundedSize)
{
    TempStore store;
    const QString dir = store.configHome();
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir + "/fifo.reg").constData(), 0600), 0);
    QDir(dir).mkdir("folder.reg");
    for (auto [name, size] : {std::pair{"big.reg", regfile::kMaxFileSize + 1}, {"limit.reg", regfile::kMaxFileSize}}) {
        QFile f(dir + "/" + name);  // sparse: no disk space taken
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.resize(static_cast<qint64>(size)));
    }
    for (const char* name : {"piped", "substituted", "redirected"})
        writeFile(dir + "/" + name + ".reg",
                  QByteArray("REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Marbleglen]\n\"") + name + "\"=\"yes\"\n");
    const UniqueFd listening = socketAt(dir + "/socket.reg");
    ASSERT_TRUE(listening);

    // Run by bash with the command as $1 and the folder as $2.
    struct Case {
        const char* script;
        std::string err;  // "" when the file is imported
        const char* imported = nullptr;
    } cases[] = {
        {"\"$1\" import /dev/zero", "ERROR: Cannot read /dev/zero: it is a device, not a regular file or a pipe.\n"},
        {"\"$1\" import \"$2/folder.reg\"", ": it is a folder, not a regular file or a pipe.\n"},
        {"\"$1\" import \"$2/socket.reg\"", ": No such device or address.\n"},
        {"\"$1\" import \"$2/big.reg\"", ": it holds more than 4194304 bytes, the most a settings file may hold.\n"},
        {"\"$1\" import \"$2/limit.reg\"", "ERROR: line 1: the file does not begin with"},
        {"\"$1\" import \"$2/missing.reg\"", ": No such file or directory.\n"},
        // Reading address 0 of its own memory fails: a read error is not the end of a file.
        {"\"$1\" import /proc/self/mem", "ERROR: Cannot read /proc/self/mem: Input/output error.\n"},
        // A FIFO nobody writes to is not waited for.
        {"\"$1\" import \"$2/fifo.reg\"", "ERROR: line 1: the file is empty. Nothing was imported.\n"},
        {"head -c 4194305 /dev/zero | \"$1\" import /dev/stdin",
         "ERROR: Cannot read /dev/stdin: it holds more than 4194304 bytes"},
        {"head -c 4194304 /dev/zero | \"$1\" import /dev/stdin", "ERROR: line 1: the file does not begin with"},
        {"cat \"$2/piped.reg\" | \"$1\" import /dev/stdin", "", "piped"},
        {"\"$1\" import <(cat \"$2/substituted.reg\")", "", "substituted"},
        {"\"$1\" import /dev/stdin < \"$2/redirected.reg\"", "", "redirected"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        const QByteArray before = fileBytes(store.storeFile());
        QProcess p;
        p.start("bash", {"-c", c.script, "bash", MARBLEGLEN_REG_BIN, dir});
        ASSERT_TRUE(p.waitForFinished(30000));
        const std::string err = p.readAllStandardError().toStdString();
        if (c.err.empty()) {
            EXPECT_EQ(p.exitCode(), 0) << err;
            EXPECT_EQ(AppSettings::ReadText(c.imported), "yes");
        } else {
            EXPECT_EQ(p.exitCode(), 1);
            EXPECT_NE(err.find(c.err), std::string::npos) << err;
            EXPECT_EQ(fileBytes(store.storeFile()), before);
        }
    }
}

// In a folder anyone may write to, links planted at the name the export once
// used for its temporary file, or at the target itself, change nothing outside it.
TEST(MarbleglenReg, ExportNeverWritesThroughPlantedLinks)
{
    TempStore store;
    add({"/v", "a", "/d", "1"});
    const QString shared = store.configHome() + "/shared", elsewhere = store.configHome() + "/elsewhere";
    ASSERT_TRUE(QDir().mkpath(shared) && QDir().mkpath(elsewhere));
    ASSERT_EQ(::chmod(QFile::encodeName(shared).constData(), 0777), 0);
    const QByteArray victimText = "someone else's file\n";
    for (const char* victim : {"/victim1", "/victim2"})
        writeFile(elsewhere + victim, victimText);
    const QString target = shared + "/settings.reg";
    auto plant = [&](pid_t pid) {
        QFile::link(elsewhere + "/victim1", target + ".tmp" + QString::number(pid));
        QFile::link(elsewhere + "/victim2", target);
        QFile::link(elsewhere + "/nothing", shared + "/dangling.reg");
    };
    EXPECT_EQ(regWithPid({"export", kKey, target}, plant), 1);  // the target exists: a link
    EXPECT_EQ(reg({"export", kKey, shared + "/dangling.reg"}).code, 1);
    EXPECT_TRUE(QFileInfo(target).isSymLink());
    auto names = [&] { return QDir(shared).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot); };
    QStringList expected = names();

    EXPECT_EQ(regWithPid({"export", kKey, target, "/y"}, [&](pid_t pid) {
                  const QString tmp = target + ".tmp" + QString::number(pid);
                  QFile::link(elsewhere + "/victim1", tmp);
                  expected << QFileInfo(tmp).fileName();
              }),
              0);
    for (const char* victim : {"/victim1", "/victim2"})
        EXPECT_EQ(fileBytes(elsewhere + victim), victimText) << victim;
    EXPECT_FALSE(QFile::exists(elsewhere + "/nothing"));
    struct stat st {};
    ASSERT_EQ(::lstat(QFile::encodeName(target).constData(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(fileBytes(target).startsWith("\xFF\xFEW\0"));
    // Nothing left behind but the export and the planted links.
    expected.sort();
    EXPECT_EQ(names(), expected);
}

// Renaming over a device, FIFO, socket or folder would take it away from
// whatever uses it; a file replaced keeps who may read it.
TEST(MarbleglenReg, ExportWithYReplacesOnlyFilesAndKeepsTheirMode)
{
    TempStore store;
    add({"/v", "a", "/d", "1"});
    const QString dir = store.configHome();
    auto path = [&](const char* name) { return QFile::encodeName(dir + "/" + name); };
    ASSERT_EQ(::mkfifo(path("fifo.reg"), 0600), 0);
    ASSERT_TRUE(QDir(dir).mkdir("folder.reg"));
    const UniqueFd listening = socketAt(dir + "/socket.reg");
    ASSERT_TRUE(listening);
    // A twin of /dev/full, where mknod is allowed (as root).
    const bool device = ::mknod(path("device.reg"), S_IFCHR | 0600, makedev(1, 7)) == 0;
    struct Case {
        const char* name;
        mode_t type;
        const char* kind;
    } cases[] = {
        {"fifo.reg", S_IFIFO, "a FIFO"},
        {"folder.reg", S_IFDIR, "a folder"},
        {"socket.reg", S_IFSOCK, "a socket"},
        {"device.reg", S_IFCHR, "a device"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.type == S_IFCHR && !device)
            continue;
        Result r = reg({"export", kKey, dir + "/" + c.name, "/y"});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err, "ERROR: Cannot write " + (dir + "/").toStdString() + c.name + ": it is " + c.kind +
                             ", not a regular file.\n");
        struct stat st {};
        ASSERT_EQ(::lstat(path(c.name), &st), 0);
        EXPECT_EQ(st.st_mode & S_IFMT, c.type);
    }

    for (mode_t mode : {0644u, 0600u, 0400u, 04755u}) {
        SCOPED_TRACE(QString::number(mode, 8).toStdString());
        writeFile(dir + "/file.reg", "old");
        ASSERT_EQ(::chmod(path("file.reg"), mode), 0);
        ASSERT_EQ(reg({"export", kKey, dir + "/file.reg", "/y"}).code, 0);
        struct stat st {};
        ASSERT_EQ(::lstat(path("file.reg"), &st), 0);
        EXPECT_EQ(st.st_mode, S_IFREG | (mode & 0777));  // a set-id bit is not carried over
        EXPECT_TRUE(fileBytes(dir + "/file.reg").startsWith("\xFF\xFEW\0"));
    }
}

TEST(MarbleglenReg, QueryEscapesControlCharactersOnlyOnATerminal)
{
    TempStore store;
    const std::string data = "a\x1b]0;owned\x07\tb";
    std::vector<BYTE> sz(data.begin(), data.end());
    sz.push_back(0);
    ASSERT_EQ(RegApplyBatch({{RegBatchOp::SetValue, HKEY_CURRENT_USER, "Software\\Marbleglen\\\x1b[2J", "n\x9b",
                              REG_SZ, sz}}),
              ERROR_SUCCESS);
    const std::string key = "HKEY_CURRENT_USER\\Software\\Marbleglen";
    const std::string shown = "\n" + key + "\n\n" + key + "\\\\x1b[2J\n\n";
    EXPECT_EQ(regOnTerminal({"query", kKey}), shown);
    EXPECT_EQ(regOnTerminal({"query", kKey, "/s"}),
              "\n" + key + "\n\n" + key + "\\\\x1b[2J\n    n\\x9b    REG_SZ    a\\x1b]0;owned\\x07\tb\n\n");
    EXPECT_EQ(reg({"query", kKey, "/s"}).out,
              "\n" + key + "\n\n" + key + "\\\x1b[2J\n    n\x9b    REG_SZ    " + data + "\n\n");

    // Every message that shows a name shows it as query does. Export refuses a
    // name import would refuse; delete reaches it, and then export goes through.
    const QString file = store.configHome() + "/out.reg";
    const std::string refusal = "ERROR: Cannot export: the key name " + key + "\\";
    const std::string onTerminal = regOnTerminal({"export", kKey, file});
    EXPECT_NE(onTerminal.find(refusal + "\\x1b[2J holds a control character"), std::string::npos) << onTerminal;
    EXPECT_EQ(onTerminal.find('\x1b'), std::string::npos) << onTerminal;
    EXPECT_NE(reg({"export", kKey, file}).err.find(refusal + "\x1b[2J holds"), std::string::npos);
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_EQ(regOnTerminal({"delete", kKey + "\\\x1b[2J"}, "y\n"),
              "Permanently delete the registry key " + key + "\\\\x1b[2J (Yes/No)? " + kDone);
    EXPECT_EQ(reg({"export", kKey, file}).code, 0);
}

TEST(MarbleglenReg, ADamagedStoreIsReportedAndLeftAlone)
{
    TempStore store;
    add({"/v", "a", "/d", "1"});
    QFile f(store.storeFile());
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    f.write("not our header!!");
    f.close();
    const QByteArray before = fileBytes(store.storeFile());
    for (const QStringList& args : {QStringList{"query", kKey}, QStringList{"add", kKey, "/v", "b", "/d", "2", "/f"},
                                    QStringList{"delete", kKey, "/f"}}) {
        Result r = reg(args);
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find("is damaged or was not written by Marbleglen"), std::string::npos) << r.err;
    }
    EXPECT_EQ(fileBytes(store.storeFile()), before);
}

TEST(MarbleglenReg, ImportsHandWrittenFilesOfBothVersions)
{
    TempStore store;
    add({"/v", "old", "/d", "x"});
    const QString v5 = QString::fromUtf8("Windows Registry Editor Version 5.00\r\n\r\n"
                                         "[HKEY_CURRENT_USER\\Software\\Marbleglen]\r\n"
                                         "\"txtImageCaption1\"=\"Caf\xC3\xA9\"\r\n"
                                         "\"old\"=-\r\n"
                                         "\"varImagePath1\"=hex(2):25,00,4d,00,47,00,44,00,25,00,00,00\r\n");
    QByteArray v5Bytes("\xFF\xFE", 2);
    v5Bytes.append(reinterpret_cast<const char*>(v5.utf16()), v5.size() * 2);
    const QByteArray v4 = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Marbleglen]\n"
                          "\"varSlideShowType\"=\"2\"\n\"n\"=dword:00000003\n\"E\"=\"caf\xe9\"\n";
    int i = 0;
    for (const QByteArray& bytes : {v5Bytes, v4}) {
        QString file = store.configHome() + "/in" + QString::number(i++) + ".reg";
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        f.close();
        Result r = reg({"import", file});
        ASSERT_EQ(r.code, 0) << r.err;
    }
    setenv("MGD", "/home/tester", 1);
    EXPECT_EQ(AppSettings::ReadText("txtImageCaption1"), "Caf\xC3\xA9");
    EXPECT_EQ(AppSettings::ReadText("varImagePath1"), "/home/tester");
    EXPECT_EQ(AppSettings::ReadText("old"), "");
    EXPECT_EQ(AppSettings::ReadInt16("varSlideShowType"), 2);
    EXPECT_EQ(AppSettings::ReadText("n"), "3");
    // Another code page when asked for.
    writeFile(store.configHome() + "/1251.reg",
              "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Marbleglen]\n\"C\"=\"\xCF\xF0\xE8\xE2\xE5\xF2\"\n");
    ASSERT_EQ(reg({"import", store.configHome() + "/1251.reg", "/cp", "1251"}).code, 0);
    EXPECT_EQ(AppSettings::ReadText("C"), "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
    // "café" in the Windows code page, stored and exported as the same text.
    EXPECT_EQ(AppSettings::ReadText("E"), "caf\xC3\xA9");
    const QString exported = store.configHome() + "/out.reg";
    ASSERT_EQ(reg({"export", kKey, exported}).code, 0);
    const QByteArray bytes = fileBytes(exported);
    EXPECT_TRUE(QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.constData() + 2), (bytes.size() - 2) / 2)
                    .contains(QString::fromUtf8("\"E\"=\"caf\xC3\xA9\"\r\n")));
}
