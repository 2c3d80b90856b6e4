#include "settings/cRegistry.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kAccessRead = KEY_QUERY_VALUE;
constexpr DWORD kAccessWrite = 0x3F;
constexpr std::size_t kEnumKeyBuffer = 255;
constexpr int kReadAttempts = 3;

// "Try this statement; go on with the next if it raises" a registry error.
// Anything else (out of memory) still ends the member.
template <typename F>
void tryIgnoringRegistryError(F&& f)
{
    try {
        f();
    } catch (const RegistryError&) {
    }
}

[[noreturn]] void raise(std::int32_t number, const std::string& description)
{
    throw RegistryError(number, cRegistry::ErrorSource(), description);
}

// The text of a value inside an error message; a byte array as hex pairs.
std::string messageText(const Variant& v)
{
    if (auto b = std::get_if<ByteArray>(&v)) {
        std::string s;
        char hex[4];
        for (std::size_t i = 0; i < b->size(); ++i) {
            std::snprintf(hex, sizeof hex, i ? " %02X" : "%02X", (*b)[i]);
            s += hex;
        }
        return s;
    }
    return VariantText(v);
}

bool isInteger(const Variant& v)
{
    return std::holds_alternative<std::int16_t>(v) || std::holds_alternative<std::int32_t>(v);
}

std::int32_t integerOf(const Variant& v)
{
    if (auto i = std::get_if<std::int16_t>(&v))
        return *i;
    return std::get<std::int32_t>(v);
}

std::string trimSpaces(const std::string& s)
{
    std::size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

}  // namespace

DWORD StringValueType(const std::string& text)
{
    std::size_t first = text.find('%');
    return first != std::string::npos && text.find('%', first + 2) != std::string::npos ? REG_EXPAND_SZ
                                                                                       : REG_SZ;
}

std::string cRegistry::ErrorSource()
{
    static const std::string source = [] {
        char buf[4096];
        ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
        std::string name = "marbleglen";
        if (n > 0) {
            std::string path(buf, static_cast<std::size_t>(n));
            name = path.substr(path.rfind('/') + 1);
            if (std::size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0)
                name.erase(dot);
        }
        return name + ".cRegistry";
    }();
    return source;
}

void cRegistry::setMachine(const std::string& sMachine)
{
    if (sMachine.size() < 3)
        machine_.clear();
    else if (sMachine.compare(0, 2, "\\\\") != 0)
        machine_ = "\\\\" + sMachine;
    else
        machine_ = sMachine;
}

bool cRegistry::KeyExists() const
{
    RegKeyHandle key;
    return RegOpenKeyExA(classKey_, sectionKey_.c_str(), 0, kAccessRead, key.put()) == ERROR_SUCCESS;
}

bool cRegistry::CreateKey()
{
    RegKeyHandle key;
    DWORD disposition = 0;
    if (RegCreateKeyExA(classKey_, sectionKey_.c_str(), 0, "", 0, kAccessWrite, nullptr, key.put(),
                        &disposition) != ERROR_SUCCESS)
        raise(kErrRegistry, "Failed to create registry Key: '" + sectionKey_);
    return true;
}

std::string cRegistry::classKeyText() const { return std::to_string(classKey_); }

void cRegistry::raiseSetValue(std::int32_t number, const Variant& vValue) const
{
    raise(number, "Failed to set registry value Key: '" + classKeyText() + "',Section: '" + sectionKey_ +
                      "',Key: '" + valueKey_ + "' to value: '" + messageText(vValue) + "'");
}

Variant cRegistry::Value()
{
    HKEY root = classKey_;
    RegKeyHandle remote;
    if (!machine_.empty()) {
        if (RegConnectRegistryA(machine_.c_str(), classKey_, remote.put()) != ERROR_SUCCESS)
            return default_;
        root = remote.get();
    }
    return readValue(root);
}

Variant cRegistry::readValue(HKEY root)
{
    RegKeyHandle key;
    RegOpenKeyExA(root, sectionKey_.c_str(), 0, kAccessRead, key.put());
    // The value may change between learning its size and reading it (another
    // copy of the program writing); then the size is learnt again.
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        DWORD type = 0;
        DWORD size = 0;
        BYTE probe = 0;
        LONG rc = RegQueryValueExA(key.get(), valueKey_.c_str(), nullptr, &type, &probe, &size);
        if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA)
            return default_;
        valueType_ = static_cast<std::int32_t>(type);
        ByteArray data(type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN ? 4 : size);
        DWORD got = static_cast<DWORD>(data.size());
        rc = RegQueryValueExA(key.get(), valueKey_.c_str(), nullptr, &type, data.data(), &got);
        if (rc == ERROR_MORE_DATA && type != REG_DWORD && type != REG_DWORD_BIG_ENDIAN)
            continue;
        if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA)
            return default_;  // gone in between
        switch (type) {
        case REG_SZ:
        case REG_MULTI_SZ:
        case REG_EXPAND_SZ: {
            // Drop the terminating NUL; a stored size of 0 reads as "".
            std::string text(data.begin(), data.end());
            if (!text.empty())
                text.pop_back();
            return type == REG_EXPAND_SZ ? Variant(ExpandEnvStr(text)) : Variant(text);
        }
        case REG_DWORD:
        case REG_DWORD_BIG_ENDIAN: {
            std::uint32_t u = static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
                              static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
            auto v = static_cast<std::int32_t>(u);
            return type == REG_DWORD_BIG_ENDIAN ? SwapEndian(v) : v;
        }
        default:
            return data;
        }
    }
    return default_;
}

void cRegistry::setValue(const Variant& vValue)
{
    HKEY root = classKey_;
    RegKeyHandle remote;
    if (!machine_.empty()) {
        // No remote store on this platform: nothing is written.
        if (RegConnectRegistryA(machine_.c_str(), classKey_, remote.put()) != ERROR_SUCCESS)
            raiseSetValue(kErrRegistry, vValue);
        root = remote.get();
    }
    RegKeyHandle key;
    DWORD disposition = 0;
    if (RegCreateKeyExA(root, sectionKey_.c_str(), 0, "", 0, kAccessWrite, nullptr, key.put(), &disposition) !=
        ERROR_SUCCESS)
        raiseSetValue(kErrRegistry, vValue);

    LONG rc = ERROR_SUCCESS;
    switch (valueType_) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        std::string text = VariantText(vValue);
        DWORD type = StringValueType(text);
        rc = RegSetValueExA(key.get(), valueKey_.c_str(), 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>(text.size() + 1));
        break;
    }
    case REG_BINARY: {
        auto bytes = std::get_if<ByteArray>(&vValue);
        if (!bytes)
            raise(kErrRegistry, "Application-defined or object-defined error");
        rc = RegSetValueExA(key.get(), valueKey_.c_str(), 0, REG_BINARY, bytes->data(),
                            static_cast<DWORD>(bytes->size()));
        break;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN: {
        if (!isInteger(vValue))
            break;  // other kinds write nothing, and that is no failure
        auto u = static_cast<std::uint32_t>(integerOf(vValue));
        BYTE le[4] = {static_cast<BYTE>(u), static_cast<BYTE>(u >> 8), static_cast<BYTE>(u >> 16),
                      static_cast<BYTE>(u >> 24)};
        rc = RegSetValueExA(key.get(), valueKey_.c_str(), 0, REG_DWORD, le, 4);
        break;
    }
    default:
        rc = ERROR_INVALID_DATA;
        break;
    }
    if (rc != ERROR_SUCCESS)
        raiseSetValue(kErrSetValue, vValue);
}

Variant cRegistry::ValueEx(std::int32_t eKey, const std::string& sSectionKey, const std::string& sValueKey,
                           std::int32_t eValueType, const Variant& vDefault)
{
    classKey_ = eKey;
    sectionKey_ = sSectionKey;
    valueKey_ = sValueKey;
    valueType_ = eValueType;
    default_ = vDefault;
    return Value();
}

void cRegistry::setValueEx(std::int32_t eKey, const std::string& sSectionKey, const std::string& sValueKey,
                           std::int32_t eValueType, const Variant& vDefault, Variant& NewValue)
{
    classKey_ = eKey;
    sectionKey_ = sSectionKey;
    valueKey_ = sValueKey;
    valueType_ = eValueType;
    default_ = vDefault;
    if (valueType_ == REG_SZ && VariantText(NewValue).empty())
        NewValue = default_;
    setValue(NewValue);
}

std::int32_t cRegistry::SwapEndian(std::int32_t v)
{
    auto u = static_cast<std::uint32_t>(v);
    return static_cast<std::int32_t>((u >> 24) | ((u >> 8) & 0xFF00u) | ((u << 8) & 0xFF0000u) | (u << 24));
}

std::string cRegistry::ExpandEnvStr(const std::string& s)
{
    DWORD n = ExpandEnvironmentStringsA(s.c_str(), nullptr, 0);
    std::vector<char> buf(n);
    ExpandEnvironmentStringsA(s.c_str(), buf.data(), n);
    return std::string(buf.data(), n - 1);
}

bool cRegistry::DeleteKey()
{
    if (RegDeleteKeyA(classKey_, sectionKey_.c_str()) != ERROR_SUCCESS)
        raise(kErrRegistry, "Failed to delete registry Key: '" + classKeyText() + "',Section: '" + sectionKey_);
    return true;
}

bool cRegistry::DeleteValue()
{
    RegKeyHandle key;
    if (RegOpenKeyExA(classKey_, sectionKey_.c_str(), 0, kAccessWrite, key.put()) != ERROR_SUCCESS)
        raise(kErrRegistry,
              "Failed to open key '" + classKeyText() + "',Section: '" + sectionKey_ + "' for delete access");
    if (RegDeleteValueA(key.get(), valueKey_.c_str()) != ERROR_SUCCESS)
        raise(kErrRegistry, "Failed to delete registry Key: '" + classKeyText() + "',Section: '" + sectionKey_ +
                                "',Key: '" + valueKey_);
    return true;
}

bool cRegistry::EnumerateValues(OneBased<std::string>& sKeyNames, std::int32_t& iKeyCount)
{
    sKeyNames.Clear();
    iKeyCount = 0;
    RegKeyHandle key;
    if (RegOpenKeyExA(classKey_, sectionKey_.c_str(), 0, kAccessRead, key.put()) != ERROR_SUCCESS)
        return true;
    DWORD longest = 0;
    if (RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longest,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return true;
    for (DWORD index = 0;; ++index) {
        std::vector<char> name(longest + 1, '\0');
        DWORD size = longest + 1;
        if (RegEnumValueA(key.get(), index, name.data(), &size, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        ++iKeyCount;
        sKeyNames.Append(std::string(name.data(), size));
    }
    return true;
}

bool cRegistry::EnumerateSections(OneBased<std::string>& sSect, std::int32_t& iSectCount)
{
    sSect.Clear();
    iSectCount = 0;
    RegKeyHandle key;
    try {
        LONG rc = RegOpenKeyExA(classKey_, sectionKey_.c_str(), 0, KEY_ENUMERATE_SUB_KEYS, key.put());
        for (DWORD index = 0; rc == ERROR_SUCCESS; ++index) {
            char name[kEnumKeyBuffer] = {};
            rc = RegEnumKeyA(key.get(), index, name, kEnumKeyBuffer);
            if (rc == ERROR_SUCCESS) {
                ++iSectCount;
                sSect.Append(std::string(name, strnlen(name, kEnumKeyBuffer)));
            }
        }
        return true;
    } catch (const std::exception& e) {
        key.reset();
        raise(kErrEnumSections, e.what());
    }
}

void cRegistry::SetClassValue(const std::string& sValue)
{
    const std::string section = sectionKey_;
    classKey_ = HKEY_CLASSES_ROOT;
    setValue(sValue);
    classKey_ = HKEY_LOCAL_MACHINE;
    sectionKey_ = "SOFTWARE\\Classes\\" + section;
    setValue(sValue);
    sectionKey_ = section;
}

void cRegistry::CreateEXEAssociation(std::string sExePath, const std::string& sClassName,
                                     const std::string& sClassDescription, const std::string& sAssociation,
                                     std::string sOpenMenuText, bool bSupportPrint, std::string sPrintMenuText,
                                     bool bSupportNew, std::string sNewMenuText, bool bSupportInstall,
                                     std::string sInstallMenuText, std::int32_t lDefaultIconIndex)
{
    sExePath = trimSpaces(sExePath);
    if (sExePath.empty() || sExePath.front() != '"')
        sExePath = '"' + sExePath;
    if (sExePath.size() < 2 || sExePath.back() != '"')
        sExePath += '"';

    sectionKey_ = "." + sAssociation;
    valueType_ = REG_SZ;
    valueKey_ = "";
    SetClassValue(sClassName);
    sectionKey_ = sClassName;
    SetClassValue(sClassDescription);

    auto verb = [&](const std::string& name, std::string& text, const std::string& fallback,
                    const std::string& suffix) {
        sectionKey_ = sClassName + "\\shell\\" + name;
        if (text.empty())
            text = fallback;
        valueKey_ = "";
        SetClassValue(text);
        sectionKey_ = sClassName + "\\shell\\" + name + "\\command";
        valueKey_ = "";
        SetClassValue(sExePath + suffix);
    };
    verb("open", sOpenMenuText, "&Open", " \"%1\"");
    if (bSupportPrint)
        verb("print", sPrintMenuText, "&Print", " /p \"%1\"");
    if (bSupportInstall)
        verb("add", sInstallMenuText, "&Install " + sAssociation, " /a \"%1\"");
    if (bSupportNew)
        verb("new", sNewMenuText, "&New", " /n \"%1\"");
    if (lDefaultIconIndex > -1) {
        sectionKey_ = sClassName + "\\DefaultIcon";
        valueKey_ = "";
        SetClassValue(sExePath + "," + std::to_string(lDefaultIconIndex));
    }
}

void cRegistry::CreateAdditionalEXEAssociations(const std::string& sClassName, const std::vector<Variant>& vItems)
{
    if (vItems.size() % 3 != 0)
        raise(kErrAssocParams,
              "Invalid parameter list passed to CreateAdditionalEXEAssociations - expected Name/Text/Command");
    sectionKey_ = sClassName;
    if (!KeyExists())
        raise(kErrAssocNoClass, "Error - attempt to create additional associations before class defined.");
    for (std::size_t i = 0; i < vItems.size(); i += 3) {
        const std::string name = VariantText(vItems[i]);
        valueType_ = REG_SZ;
        sectionKey_ = sClassName + "\\shell\\" + name;
        valueKey_ = "";
        tryIgnoringRegistryError([&] { SetClassValue(VariantText(vItems[i + 1])); });
        sectionKey_ = sClassName + "\\shell\\" + name + "\\command";
        valueKey_ = "";
        tryIgnoringRegistryError([&] { SetClassValue(VariantText(vItems[i + 2])); });
    }
}
