#include "tools/StoreTree.h"

namespace storetree {

LONG ReadKey(HKEY root, const std::string& path, std::vector<regfile::Value>& values,
             std::vector<std::string>& subKeys)
{
    values.clear();
    subKeys.clear();
    RegKeyHandle key;
    if (LONG rc = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.put()))
        return rc;
    DWORD longestName = 0, longestData = 0;
    if (LONG rc = RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   &longestName, &longestData, nullptr, nullptr))
        return rc;
    for (DWORD i = 0;; ++i) {
        std::vector<char> name(longestName + 1);
        DWORD nameSize = longestName + 1;
        regfile::Value v;
        v.data.resize(longestData);
        DWORD dataSize = longestData;
        LONG rc = RegEnumValueA(key.get(), i, name.data(), &nameSize, nullptr, &v.type, v.data.data(), &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc == ERROR_MORE_DATA)
            return ReadKey(root, path, values, subKeys);  // grew meanwhile: start again
        if (rc)
            return rc;
        v.name.assign(name.data(), nameSize);
        v.data.resize(dataSize);
        values.push_back(std::move(v));
    }
    char name[kMaxKeyNameLength + 1];
    for (DWORD i = 0;; ++i) {
        LONG rc = RegEnumKeyA(key.get(), i, name, sizeof name);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc)
            return rc;
        subKeys.emplace_back(name);
    }
    return ERROR_SUCCESS;
}

LONG ReadTree(HKEY root, const std::string& path, const std::string& name, bool recursive,
              std::vector<regfile::Key>& out)
{
    regfile::Key k;
    k.name = name;
    std::vector<std::string> subKeys;
    if (LONG rc = ReadKey(root, path, k.values, subKeys))
        return rc;
    out.push_back(std::move(k));
    if (!recursive)
        return ERROR_SUCCESS;
    for (const auto& sub : subKeys) {
        std::string subPath = path.empty() ? sub : path + "\\" + sub;
        LONG rc = ReadTree(root, subPath, name + "\\" + sub, true, out);
        if (rc && rc != ERROR_FILE_NOT_FOUND)  // deleted meanwhile: skip it
            return rc;
    }
    return ERROR_SUCCESS;
}

}  // namespace storetree
