#include "tools/StoreTree.h"

namespace storetree {

namespace {

regfile::Value toValue(RegTreeKey::Value&& v) { return {std::move(v.name), v.type, std::move(v.data)}; }

}  // namespace

LONG ReadKey(HKEY root, const std::string& path, std::vector<regfile::Value>& values,
             std::vector<std::string>& subKeys)
{
    values.clear();
    subKeys.clear();
    std::vector<RegTreeKey> keys;
    if (LONG rc = RegReadTree(root, path.c_str(), false, keys))
        return rc;
    for (auto& v : keys[0].values)
        values.push_back(toValue(std::move(v)));
    for (std::size_t i = 1; i < keys.size(); ++i)
        subKeys.push_back(std::move(keys[i].name));
    return ERROR_SUCCESS;
}

LONG ReadTree(HKEY root, const std::string& path, const std::string& name, bool recursive,
              std::vector<regfile::Key>& out)
{
    std::vector<RegTreeKey> keys;
    if (LONG rc = RegReadTree(root, path.c_str(), recursive, keys))
        return rc;
    if (!recursive)
        keys.resize(1);
    // A key's parent comes before it, so its full name is already known.
    const std::size_t first = out.size();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        regfile::Key k;
        k.name = i == 0 ? name : out[first + keys[i].parent].name + "\\" + keys[i].name;
        for (auto& v : keys[i].values)
            k.values.push_back(toValue(std::move(v)));
        out.push_back(std::move(k));
    }
    return ERROR_SUCCESS;
}

}  // namespace storetree
