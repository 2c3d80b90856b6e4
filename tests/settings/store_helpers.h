#pragma once

#include <string>
#include <vector>

#include "settings/RegStore.h"
#include "settings/registry_error.h"

// Small direct accesses to the store for checking what was stored.
namespace storetest {

using Bytes = std::vector<BYTE>;

inline Bytes bytesOf(const std::string& s, bool withNul = true)
{
    Bytes b(s.begin(), s.end());
    if (withNul)
        b.push_back(0);
    return b;
}

inline LONG put(HKEY root, const std::string& key, const std::string& name, DWORD type, const Bytes& data)
{
    RegKeyHandle h;
    if (LONG rc = RegCreateKeyExA(root, key.c_str(), 0, "", 0, KEY_ALL_ACCESS, nullptr, h.put(), nullptr))
        return rc;
    return RegSetValueExA(h.get(), name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
}

struct Stored {
    LONG rc = 0;
    DWORD type = 0;
    Bytes data;
};

inline Stored get(HKEY root, const std::string& key, const std::string& name)
{
    Stored s;
    RegKeyHandle h;
    if ((s.rc = RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, h.put())))
        return s;
    DWORD size = 0;
    if ((s.rc = RegQueryValueExA(h.get(), name.c_str(), nullptr, &s.type, nullptr, &size)))
        return s;
    s.data.resize(size);
    s.rc = RegQueryValueExA(h.get(), name.c_str(), nullptr, &s.type, s.data.data(), &size);
    return s;
}

// Runs f and returns the error it raised (number 0 when it raised none).
template <typename F>
RegistryError raised(F f)
{
    try {
        f();
    } catch (const RegistryError& e) {
        return e;
    }
    return RegistryError(0, "", "");
}

}  // namespace storetest
