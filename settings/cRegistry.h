#pragma once

#include <cstdint>
#include <string>

#include "settings/registry_error.h"
#include "settings/variant.h"

// Predefined roots, as the signed 32-bit values ClassKey holds.
inline constexpr std::int32_t HKEY_CLASSES_ROOT = static_cast<std::int32_t>(0x80000000u);
inline constexpr std::int32_t HKEY_CURRENT_USER = static_cast<std::int32_t>(0x80000001u);
inline constexpr std::int32_t HKEY_LOCAL_MACHINE = static_cast<std::int32_t>(0x80000002u);

// Value type codes.
inline constexpr std::int32_t REG_NONE = 0;
inline constexpr std::int32_t REG_SZ = 1;
inline constexpr std::int32_t REG_EXPAND_SZ = 2;
inline constexpr std::int32_t REG_BINARY = 3;
inline constexpr std::int32_t REG_DWORD = 4;
inline constexpr std::int32_t REG_DWORD_BIG_ENDIAN = 5;
inline constexpr std::int32_t REG_LINK = 6;
inline constexpr std::int32_t REG_MULTI_SZ = 7;

// Names one value of the settings store through its properties and reads or
// writes it through Value. Each operation opens the key it needs and closes it
// before returning; instances share nothing. Failures raise RegistryError.
class cRegistry {
public:
    std::string Machine() const { return machine_; }
    void setMachine(const std::string& sMachine);

    bool KeyExists() const;
    bool CreateKey();

    Variant Value();
    void setValue(const Variant& vValue);

    std::int32_t ValueType() const { return valueType_; }
    void setValueType(std::int32_t eValueType) { valueType_ = eValueType; }
    std::int32_t ClassKey() const { return classKey_; }
    void setClassKey(std::int32_t eKey) { classKey_ = eKey; }
    std::string SectionKey() const { return sectionKey_; }
    void setSectionKey(const std::string& sSectionKey) { sectionKey_ = sSectionKey; }
    std::string ValueKey() const { return valueKey_; }
    void setValueKey(const std::string& sValueKey) { valueKey_ = sValueKey; }
    Variant Default() const { return default_; }
    void setDefault(const Variant& vDefault) { default_ = vDefault; }

    Variant ValueEx(std::int32_t eKey, const std::string& sSectionKey, const std::string& sValueKey,
                    std::int32_t eValueType, const Variant& vDefault);
    void setValueEx(std::int32_t eKey, const std::string& sSectionKey, const std::string& sValueKey,
                    std::int32_t eValueType, const Variant& vDefault, Variant& NewValue);

private:
    std::int32_t classKey_ = 0;
    std::string sectionKey_;
    std::string valueKey_;
    Variant default_;
    std::int32_t valueType_ = 0;
    std::string machine_;
};
