#pragma once

// The settings store: the Windows registry functions the registry class needs,
// with their names, arguments and error codes, over one SQLite file per user
// ($XDG_CONFIG_HOME/marbleglen/registry.db).
//
// Key and value names are case-insensitive and case-preserving. Only the ASCII
// letters A-Z fold; every other byte (UTF-8 sequences included) compares exactly.
// The rule cannot change with the locale or a library update, so a name found
// once is always found again.
//
// Every set, create and delete is one transaction, durable when the call returns.
// Reading never creates the file. A file that is not ours, or is damaged, is
// never written: every operation on it fails with ERROR_REGISTRY_CORRUPT.

#include <cstdint>
#include <string>
#include <vector>

using HKEY = std::int32_t;
using LONG = std::int32_t;
using DWORD = std::uint32_t;
using BYTE = std::uint8_t;

// Predefined roots, as the signed 32-bit values ClassKey holds. Each is its own tree.
inline constexpr HKEY HKEY_CLASSES_ROOT = static_cast<HKEY>(0x80000000u);
inline constexpr HKEY HKEY_CURRENT_USER = static_cast<HKEY>(0x80000001u);
inline constexpr HKEY HKEY_LOCAL_MACHINE = static_cast<HKEY>(0x80000002u);

// Value type codes.
inline constexpr std::int32_t REG_NONE = 0;
inline constexpr std::int32_t REG_SZ = 1;
inline constexpr std::int32_t REG_EXPAND_SZ = 2;
inline constexpr std::int32_t REG_BINARY = 3;
inline constexpr std::int32_t REG_DWORD = 4;
inline constexpr std::int32_t REG_DWORD_BIG_ENDIAN = 5;
inline constexpr std::int32_t REG_LINK = 6;
inline constexpr std::int32_t REG_MULTI_SZ = 7;

// Results.
inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_INVALID_DATA = 13;
inline constexpr LONG ERROR_BAD_NETPATH = 53;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;
inline constexpr LONG ERROR_REGISTRY_CORRUPT = 1015;
inline constexpr LONG ERROR_REGISTRY_IO_FAILED = 1016;
inline constexpr LONG ERROR_KEY_DELETED = 1018;

// Access rights.
inline constexpr DWORD KEY_QUERY_VALUE = 0x0001;
inline constexpr DWORD KEY_SET_VALUE = 0x0002;
inline constexpr DWORD KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr DWORD KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr DWORD KEY_NOTIFY = 0x0010;
inline constexpr DWORD KEY_CREATE_LINK = 0x0020;
inline constexpr DWORD KEY_READ = 0x20019;
inline constexpr DWORD KEY_WRITE = 0x20006;
inline constexpr DWORD KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Longest key name component and value name, in bytes.
inline constexpr std::size_t kMaxKeyNameLength = 255;
inline constexpr std::size_t kMaxValueNameLength = 16383;
// Deepest key, in levels below its root: no key is created deeper
// (ERROR_INVALID_PARAMETER), so that no file or listing of the store grows with
// the square of a chain of keys.
inline constexpr std::size_t kMaxKeyDepth = 512;

LONG RegOpenKeyExA(HKEY hKey, const char* lpSubKey, DWORD ulOptions, DWORD samDesired, HKEY* phkResult);
LONG RegCreateKeyExA(HKEY hKey, const char* lpSubKey, DWORD Reserved, const char* lpClass, DWORD dwOptions,
                     DWORD samDesired, const void* lpSecurityAttributes, HKEY* phkResult,
                     DWORD* lpdwDisposition);
LONG RegQueryValueExA(HKEY hKey, const char* lpValueName, DWORD* lpReserved, DWORD* lpType, BYTE* lpData,
                      DWORD* lpcbData);
LONG RegSetValueExA(HKEY hKey, const char* lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                    DWORD cbData);
LONG RegCloseKey(HKEY hKey);
// There is no remote registry: every machine name fails; none (or "") gives the local root.
LONG RegConnectRegistryA(const char* lpMachineName, HKEY hKey, HKEY* phkResult);
LONG RegQueryInfoKeyA(HKEY hKey, char* lpClass, DWORD* lpcchClass, DWORD* lpReserved, DWORD* lpcSubKeys,
                      DWORD* lpcbMaxSubKeyLen, DWORD* lpcbMaxClassLen, DWORD* lpcValues,
                      DWORD* lpcbMaxValueNameLen, DWORD* lpcbMaxValueLen, DWORD* lpcbSecurityDescriptor,
                      void* lpftLastWriteTime);
LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, char* lpValueName, DWORD* lpcchValueName, DWORD* lpReserved,
                   DWORD* lpType, BYTE* lpData, DWORD* lpcbData);
LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, char* lpName, DWORD cchName);
// Refuses a key that still has sub-keys (ERROR_ACCESS_DENIED).
LONG RegDeleteKeyA(HKEY hKey, const char* lpSubKey);
// Removes a key with everything below it; with no sub-key, empties hKey itself.
LONG RegDeleteTreeA(HKEY hKey, const char* lpSubKey);
LONG RegDeleteValueA(HKEY hKey, const char* lpValueName);
// %NAME% becomes the variable's value; undefined references stay as written.
// Returns the size needed in characters, terminating NUL included.
DWORD ExpandEnvironmentStringsA(const char* lpSrc, char* lpDst, DWORD nSize);

// Where the store lives now (XDG_CONFIG_HOME is read at every call).
std::string RegStorePath();

// One change of a batch applied by RegApplyBatch. Keys are paths below a root.
struct RegBatchOp {
    enum Kind { CreateKey, DeleteTree, SetValue, DeleteValue };
    Kind kind = CreateKey;
    HKEY root = 0;
    std::string key;
    std::string name;
    DWORD type = 0;
    std::vector<BYTE> data;
};

// Applies every change in one transaction: all of them, or (on any failure) none.
// Deleting a key or value that is not there is no failure. A key or value name
// holding a NUL is refused (ERROR_INVALID_PARAMETER).
LONG RegApplyBatch(const std::vector<RegBatchOp>& ops);

// One key of a tree read by RegReadTree.
struct RegTreeKey {
    struct Value {
        std::string name;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    std::size_t parent = 0;  // index of its parent in the list; the first key has none (0)
    std::size_t depth = 0;   // levels below its root
    std::string name;        // its own name (the first key's as the caller spelt it)
    std::vector<Value> values;
};

// Reads the key lpSubKey names below hKey from one state of the store, in time
// linear in what it reads: the key first, with its values in RegEnumValueA's
// order; with `recursive` every key below it follows, depth first, sub-keys in
// RegEnumKeyA's order, each with its values; without, its sub-keys follow
// without their values.
LONG RegReadTree(HKEY hKey, const char* lpSubKey, bool recursive, std::vector<RegTreeKey>& out);

// Owns an open key and closes it when it goes.
class RegKeyHandle {
public:
    RegKeyHandle() = default;
    explicit RegKeyHandle(HKEY h) : h_(h) {}
    ~RegKeyHandle() { reset(); }
    RegKeyHandle(RegKeyHandle&& o) noexcept : h_(o.h_) { o.h_ = 0; }
    RegKeyHandle& operator=(RegKeyHandle&& o) noexcept;
    RegKeyHandle(const RegKeyHandle&) = delete;
    RegKeyHandle& operator=(const RegKeyHandle&) = delete;

    HKEY get() const { return h_; }
    // For the out argument of an open or create call; closes what was held.
    HKEY* put();
    void reset();

private:
    HKEY h_ = 0;
};
