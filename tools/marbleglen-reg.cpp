// marbleglen-reg: looks at and changes Marbleglen's settings store from the
// command line, in the manner of the Windows reg command.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "settings/RegStore.h"
#include "settings/Text.h"
#include "tools/RegFile.h"
#include "tools/SafeFile.h"
#include "tools/StoreTree.h"
#include "tools/TerminalText.h"

namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  marbleglen-reg query KEY [/v NAME | /ve] [/s]\n"
    "  marbleglen-reg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]\n"
    "  marbleglen-reg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  marbleglen-reg export KEY FILE [/y]\n"
    "  marbleglen-reg import FILE [/cp CODEPAGE]\n"
    "\n"
    "KEY begins with HKCU, HKLM, HKCR or HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT.\n"
    "TYPE is REG_SZ (the default), REG_EXPAND_SZ, REG_MULTI_SZ (strings separated by \\0),\n"
    "REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_QWORD (decimal or 0x hex), REG_BINARY or REG_NONE (hex digits).\n"
    "CODEPAGE is the Windows code page of a REGEDIT4 file that is not UTF-8, such as 1251 (the default is 1252).\n";

constexpr const char* kDone = "The operation completed successfully.";

// A failure of the command: its message goes to stderr after "ERROR: ".
struct Failure {
    std::string message;
};

[[noreturn]] void fail(const std::string& message) { throw Failure{message}; }

std::string describe(LONG rc)
{
    switch (rc) {
    case ERROR_FILE_NOT_FOUND:
        return "The system was unable to find the specified registry key or value.";
    case ERROR_ACCESS_DENIED:
        return "Access is denied.";
    case ERROR_INVALID_PARAMETER:
        return "The parameter is incorrect: a key name part is empty, longer than 255 characters or holds "
               "a NUL character, or a value name is longer than 16383 characters or holds a NUL character.";
    case ERROR_REGISTRY_CORRUPT:
        return "The settings store " + RegStorePath() +
               " is damaged or was not written by Marbleglen. It was left as it is.";
    case ERROR_REGISTRY_IO_FAILED:
        return "The settings store " + RegStorePath() + " could not be read or written.";
    default:
        return "The operation failed (error " + std::to_string(rc) + ").";
    }
}

// Names and data as query prints them: control characters escaped on a
// terminal; a pipe gets the bytes as they are, since scripts read them.
std::string printable(const std::string& s, bool terminal) { return terminal ? terminaltext::EscapeControls(s) : s; }

// A name inside a message or a question, shown as query shows it.
std::string onStdout(const std::string& s) { return printable(s, ::isatty(STDOUT_FILENO) == 1); }
std::string onStderr(const std::string& s) { return printable(s, ::isatty(STDERR_FILENO) == 1); }

void check(LONG rc)
{
    if (rc != ERROR_SUCCESS)
        fail(describe(rc));
}

bool sameNoCase(const std::string& a, const std::string& b) { return EqualIgnoringAsciiCase(a, b); }

// The command line: words in order, and switches with their arguments.
struct Args {
    std::vector<std::string> words;
    std::map<std::string, std::string> switches;  // lower-case name without the slash

    bool has(const std::string& s) const { return switches.count(s) != 0; }
    std::optional<std::string> get(const std::string& s) const
    {
        auto it = switches.find(s);
        return it == switches.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
};

Args parseArgs(int argc, char** argv, int first)
{
    static const char* const withArgument[] = {"v", "t", "d", "cp"};
    static const char* const flags[] = {"ve", "va", "s", "f", "y"};
    Args a;
    for (int i = first; i < argc; ++i) {
        std::string w = argv[i];
        if (w.size() < 2 || (w[0] != '/' && w[0] != '-')) {
            a.words.push_back(w);
            continue;
        }
        std::string name = w.substr(1);
        for (char& c : name)
            c = AsciiLower(c);
        bool known = false;
        for (const char* s : withArgument) {
            if (name == s) {
                if (i + 1 >= argc)
                    fail("Invalid syntax: /" + name + " needs an argument.");
                known = true;
                if (!a.switches.emplace(name, argv[++i]).second)
                    fail("Invalid syntax: /" + name + " is given twice.");
            }
        }
        for (const char* s : flags) {
            if (name == s) {
                known = true;
                a.switches.emplace(name, "");
            }
        }
        if (!known)
            a.words.push_back(w);  // a file name such as /tmp/x.reg
    }
    return a;
}

struct KeyName {
    HKEY root = 0;
    std::string path;
    std::string display;  // root's long name and the path as typed
};

KeyName keyName(const std::string& text)
{
    KeyName k;
    if (text.rfind("\\\\", 0) == 0)
        fail("Invalid key name: there is no remote registry; KEY must begin with HKCU, HKLM or HKCR.");
    if (!regfile::SplitKeyName(text, k.root, k.path))
        fail("Invalid key name: KEY must begin with HKCU, HKLM, HKCR or their long names.");
    if (regfile::KeyDepth(k.path) > kMaxKeyDepth)
        fail(std::string("Invalid key name: ") + regfile::kKeyTooDeep + ".");
    k.display = regfile::RootName(k.root) + (k.path.empty() ? "" : "\\" + k.path);
    return k;
}

// What add writes follows the names rule import and export follow. Query and
// delete take any name, so that a name stored before the rule can be removed.
void checkNames(const KeyName& key, const std::optional<std::string>& value)
{
    const char* rule = "; names are UTF-8 text without control characters.";
    if (std::string problem = regfile::NameProblem(key.path); !problem.empty())
        fail("Invalid key name " + onStderr(key.display) + ": it " + problem + rule);
    if (std::string problem = value ? regfile::NameProblem(*value) : ""; !problem.empty())
        fail("Invalid value name " + onStderr(*value) + ": it " + problem + rule);
}

// Value name from /v or /ve (at most one of them).
std::optional<std::string> valueName(const Args& a)
{
    if (a.has("v") && a.has("ve"))
        fail("Invalid syntax: give /v or /ve, not both.");
    if (a.has("ve"))
        return std::string();
    return a.get("v");
}

bool confirm(const std::string& question)
{
    std::cout << question << " (Yes/No)? " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer))
        std::cout << '\n';
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

// --- query -----------------------------------------------------------------

std::string typeName(DWORD type)
{
    static const char* const names[] = {"REG_NONE",
                                        "REG_SZ",
                                        "REG_EXPAND_SZ",
                                        "REG_BINARY",
                                        "REG_DWORD",
                                        "REG_DWORD_BIG_ENDIAN",
                                        "REG_LINK",
                                        "REG_MULTI_SZ",
                                        "REG_RESOURCE_LIST",
                                        "REG_FULL_RESOURCE_DESCRIPTOR",
                                        "REG_RESOURCE_REQUIREMENTS_LIST",
                                        "REG_QWORD"};
    if (type < std::size(names))
        return names[type];
    char buf[32];
    std::snprintf(buf, sizeof buf, "REG_0x%X", type);
    return buf;
}

std::string hexDigits(const std::vector<BYTE>& d)
{
    std::string s;
    char buf[3];
    for (BYTE b : d) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        s += buf;
    }
    return s;
}

std::string dataText(const regfile::Value& v)
{
    const std::string raw(v.data.begin(), v.data.end());
    char buf[32];
    switch (v.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        return raw.substr(0, raw.find('\0'));
    case REG_MULTI_SZ: {
        std::vector<std::string> parts;
        std::size_t start = 0;
        while (start < raw.size()) {
            std::size_t end = raw.find('\0', start);
            if (end == std::string::npos)
                end = raw.size();
            parts.push_back(raw.substr(start, end - start));
            start = end + 1;
        }
        while (!parts.empty() && parts.back().empty())
            parts.pop_back();
        std::string s;
        for (std::size_t i = 0; i < parts.size(); ++i)
            s += (i ? "\\0" : "") + parts[i];
        return s;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
        if (v.data.size() == 4) {
            const auto& d = v.data;
            std::uint32_t u = v.type == REG_DWORD
                                  ? (d[0] | d[1] << 8 | d[2] << 16 | static_cast<std::uint32_t>(d[3]) << 24)
                                  : (d[3] | d[2] << 8 | d[1] << 16 | static_cast<std::uint32_t>(d[0]) << 24);
            std::snprintf(buf, sizeof buf, "0x%x", u);
            return buf;
        }
        break;
    case 11:
        if (v.data.size() == 8) {
            unsigned long long u = 0;
            for (int i = 7; i >= 0; --i)
                u = u << 8 | v.data[static_cast<std::size_t>(i)];
            std::snprintf(buf, sizeof buf, "0x%llx", u);
            return buf;
        }
        break;
    default:
        break;
    }
    return hexDigits(v.data);
}

void printKey(const regfile::Key& k, const std::vector<const regfile::Value*>& values, bool terminal)
{
    std::cout << '\n' << printable(k.name, terminal) << '\n';
    for (const auto* v : values)
        std::cout << "    " << (v->name.empty() ? "(Default)" : printable(v->name, terminal)) << "    "
                  << typeName(v->type) << "    " << printable(dataText(*v), terminal) << '\n';
}

int query(const Args& a)
{
    if (a.words.size() != 1)
        fail("Invalid syntax: query takes one KEY. Type \"marbleglen-reg /?\" for usage.");
    KeyName key = keyName(a.words[0]);
    std::optional<std::string> only = valueName(a);
    const bool recursive = a.has("s");
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    std::vector<regfile::Key> keys;
    std::vector<std::string> subKeys;
    if (recursive) {
        check(storetree::ReadTree(key.root, key.path, key.display, true, keys));
    } else {
        keys.push_back({key.display, {}});
        check(storetree::ReadKey(key.root, key.path, keys[0].values, subKeys));
    }

    bool found = false;
    for (const auto& k : keys) {
        std::vector<const regfile::Value*> shown;
        for (const auto& v : k.values) {
            if (!only || sameNoCase(v.name, *only))
                shown.push_back(&v);
        }
        if (only && shown.empty())
            continue;
        found = true;
        printKey(k, shown, terminal);
    }
    if (only && !found)
        fail(describe(ERROR_FILE_NOT_FOUND));
    // Without /s the sub-keys are listed by name, as reg does.
    if (!only && !subKeys.empty()) {
        std::cout << '\n';
        for (const auto& s : subKeys)
            std::cout << printable(key.display + '\\' + s, terminal) << '\n';
    }
    std::cout << '\n';
    return 0;
}

// --- add -------------------------------------------------------------------

std::uint64_t parseNumber(const std::string& text, std::uint64_t max, const std::string& type)
{
    const char* s = text.c_str();
    bool hex = text.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(hex ? s + 2 : s, &end, hex ? 16 : 10);
    bool digitsOnly = !text.empty() && text.find_first_of("+- ") == std::string::npos;
    if (!digitsOnly || *end != '\0' || end == (hex ? s + 2 : s) || errno == ERANGE || v > max)
        fail("The data for " + type + " must be a number from 0 to " + std::to_string(max) +
             ", in decimal or with 0x in hex.");
    return v;
}

std::vector<BYTE> parseHex(const std::string& text, const std::string& type)
{
    if (text.size() % 2 != 0 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        fail("The data for " + type + " must be pairs of hex digits, such as 00FF10.");
    std::vector<BYTE> out;
    for (std::size_t i = 0; i < text.size(); i += 2)
        out.push_back(static_cast<BYTE>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

void encode(const std::string& typeText, const std::string& data, DWORD& type, std::vector<BYTE>& bytes)
{
    std::string t;
    for (char c : typeText)
        t += AsciiUpper(c);
    if (t == "REG_SZ" || t == "REG_EXPAND_SZ") {
        type = t == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
        bytes.assign(data.begin(), data.end());
        bytes.push_back(0);
    } else if (t == "REG_MULTI_SZ") {
        type = REG_MULTI_SZ;
        std::size_t start = 0;
        while (start < data.size()) {
            std::size_t end = data.find("\\0", start);
            if (end == std::string::npos)
                end = data.size();
            bytes.insert(bytes.end(), data.begin() + static_cast<long>(start), data.begin() + static_cast<long>(end));
            bytes.push_back(0);
            start = end + 2;
        }
        bytes.push_back(0);
    } else if (t == "REG_DWORD" || t == "REG_DWORD_LITTLE_ENDIAN" || t == "REG_DWORD_BIG_ENDIAN") {
        auto v = static_cast<std::uint32_t>(data.empty() ? 0 : parseNumber(data, 0xFFFFFFFFu, t));
        type = t == "REG_DWORD_BIG_ENDIAN" ? REG_DWORD_BIG_ENDIAN : REG_DWORD;
        bytes = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
                 static_cast<BYTE>(v >> 24)};
        if (type == REG_DWORD_BIG_ENDIAN)
            std::swap(bytes[0], bytes[3]), std::swap(bytes[1], bytes[2]);
    } else if (t == "REG_QWORD") {
        std::uint64_t v = data.empty() ? 0 : parseNumber(data, ~0ULL, t);
        type = 11;
        for (int i = 0; i < 8; ++i)
            bytes.push_back(static_cast<BYTE>(v >> (8 * i)));
    } else if (t == "REG_BINARY" || t == "REG_NONE") {
        type = t == "REG_BINARY" ? REG_BINARY : REG_NONE;
        bytes = parseHex(data, t);
    } else {
        fail("Invalid type " + typeText + ". Type \"marbleglen-reg /?\" for the types.");
    }
}

bool valueExists(const KeyName& key, const std::string& name)
{
    RegKeyHandle h;
    if (RegOpenKeyExA(key.root, key.path.c_str(), 0, KEY_QUERY_VALUE, h.put()))
        return false;
    return RegQueryValueExA(h.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

int add(const Args& a)
{
    if (a.words.size() != 1)
        fail("Invalid syntax: add takes one KEY. Type \"marbleglen-reg /?\" for usage.");
    KeyName key = keyName(a.words[0]);
    std::optional<std::string> name = valueName(a);
    if (!name && (a.has("t") || a.has("d")))
        name = std::string();  // data without a name goes to the unnamed value
    checkNames(key, name);
    RegBatchOp op{RegBatchOp::CreateKey, key.root, key.path, "", 0, {}};
    if (name) {
        op.kind = RegBatchOp::SetValue;
        op.name = *name;
        encode(a.get("t").value_or("REG_SZ"), a.get("d").value_or(""), op.type, op.data);
        if (!a.has("f") && valueExists(key, *name) &&
            !confirm("Value " + (name->empty() ? std::string("(Default)") : onStdout(*name)) + " exists, overwrite")) {
            std::cout << "The operation was cancelled by the user.\n";
            return 1;
        }
    }
    check(RegApplyBatch({op}));
    std::cout << kDone << '\n';
    return 0;
}

// --- delete ----------------------------------------------------------------

int remove(const Args& a)
{
    if (a.words.size() != 1)
        fail("Invalid syntax: delete takes one KEY. Type \"marbleglen-reg /?\" for usage.");
    KeyName key = keyName(a.words[0]);
    std::optional<std::string> name = valueName(a);
    if (name && a.has("va"))
        fail("Invalid syntax: give /v, /ve or /va, not more than one.");
    const bool force = a.has("f");
    auto cancelled = [] {
        std::cout << "The operation was cancelled by the user.\n";
        return 1;
    };

    if (name) {
        RegKeyHandle h;
        check(RegOpenKeyExA(key.root, key.path.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, h.put()));
        check(RegQueryValueExA(h.get(), name->c_str(), nullptr, nullptr, nullptr, nullptr));
        if (!force && !confirm("Delete the registry value " + (name->empty() ? "(Default)" : onStdout(*name))))
            return cancelled();
        check(RegDeleteValueA(h.get(), name->c_str()));
    } else if (a.has("va")) {
        std::vector<regfile::Value> values;
        std::vector<std::string> subKeys;
        check(storetree::ReadKey(key.root, key.path, values, subKeys));
        if (!force && !confirm("Delete all values under the registry key " + onStdout(key.display)))
            return cancelled();
        std::vector<RegBatchOp> ops;
        for (const auto& v : values)
            ops.push_back({RegBatchOp::DeleteValue, key.root, key.path, v.name, 0, {}});
        check(RegApplyBatch(ops));
    } else {
        if (key.path.empty())
            fail(std::string("Invalid key name: ") + regfile::kRootNotDeletable + ".");
        RegKeyHandle h;
        check(RegOpenKeyExA(key.root, key.path.c_str(), 0, KEY_READ, h.put()));
        if (!force && !confirm("Permanently delete the registry key " + onStdout(key.display)))
            return cancelled();
        check(RegDeleteTreeA(key.root, key.path.c_str()));
    }
    std::cout << kDone << '\n';
    return 0;
}

// --- export and import -----------------------------------------------------

int exportKey(const Args& a)
{
    if (a.words.size() != 2)
        fail("Invalid syntax: export takes KEY and FILE. Type \"marbleglen-reg /?\" for usage.");
    KeyName key = keyName(a.words[0]);
    const std::string& file = a.words[1];
    const std::string exists = "The file " + onStderr(file) + " exists already. Give /y to overwrite it.";
    // A link counts as there, even one that leads nowhere.
    struct stat st {};
    if (!a.has("y") && ::lstat(file.c_str(), &st) == 0)
        fail(exists);
    std::vector<regfile::Key> keys;
    check(storetree::ReadTree(key.root, key.path, key.display, true, keys));
    // A key made before the depth limit would give a file that import refuses.
    // Names hold no backslash, so each one in a full name is one level.
    for (const auto& k : keys) {
        if (static_cast<std::size_t>(std::count(k.name.begin(), k.name.end(), '\\')) > kMaxKeyDepth)
            fail("Cannot export " + key.display + ": a key below it is more than " +
                 std::to_string(kMaxKeyDepth) + " levels deep, which import refuses. Delete it first.");
    }
    std::string bytes, error;
    if (!regfile::Format(keys, bytes, error, onStderr))
        fail("Cannot export: " + error + ". Nothing was written.");
    switch (safefile::WriteFileAtomically(file, bytes, a.has("y"), error)) {
    case safefile::WriteResult::Written:
        break;
    case safefile::WriteResult::Exists:
        fail(exists);
    case safefile::WriteResult::Failed:
        fail(onStderr(error));
    }
    std::cout << kDone << '\n';
    return 0;
}

int importFile(const Args& a)
{
    if (a.words.size() != 1)
        fail("Invalid syntax: import takes one FILE. Type \"marbleglen-reg /?\" for usage.");
    // 1251 is Windows' CP1251; any other name iconv knows goes as it is.
    std::string codePage = a.get("cp").value_or("");
    if (!codePage.empty() && codePage.find_first_not_of("0123456789") == std::string::npos)
        codePage = "CP" + codePage;
    if (!codePage.empty() && !regfile::CodePageKnown(codePage))
        fail("Invalid code page " + onStderr(*a.get("cp")) + ": this system cannot read it. Give a number such as 1251.");
    std::string content, error;
    if (!safefile::ReadBoundedFile(a.words[0], regfile::kMaxFileSize, content, error))
        fail(onStderr(error));
    regfile::ParseResult r = regfile::Parse(content, codePage);
    if (!r.ok)
        fail("line " + std::to_string(r.line) + ": " + r.message + ". Nothing was imported.");
    if (LONG rc = RegApplyBatch(r.ops))
        fail(describe(rc) + " Nothing was imported.");
    std::cout << kDone << '\n';
    return 0;
}

struct Verb {
    const char* name;
    int (*run)(const Args&);
};

constexpr Verb kVerbs[] = {
    {"query", query}, {"add", add}, {"delete", remove}, {"export", exportKey}, {"import", importFile},
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && (std::strcmp(argv[1], "/?") == 0 || std::strcmp(argv[1], "-?") == 0 ||
                      std::strcmp(argv[1], "--help") == 0)) {
        std::cout << kUsage;
        return 0;
    }
    try {
        if (argc < 2)
            fail("Invalid syntax: no operation given.\n" + std::string(kUsage));
        for (const auto& verb : kVerbs) {
            if (sameNoCase(argv[1], verb.name))
                return verb.run(parseArgs(argc, argv, 2));
        }
        fail("Invalid syntax: unknown operation " + onStderr(argv[1]) + ".\n" + kUsage);
    } catch (const Failure& f) {
        std::cout << std::flush;
        std::cerr << "ERROR: " << f.message << '\n';
        return 1;
    }
}
