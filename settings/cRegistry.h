#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "settings/OneBased.h"
#include "settings/RegStore.h"
#include "settings/registry_error.h"
#include "settings/variant.h"

// Error numbers the registry class raises.
inline constexpr std::int32_t kErrRegistry = 26001;
inline constexpr std::int32_t kErrSetValue = static_cast<std::int32_t>(0x800469A9u);
inline constexpr std::int32_t kErrEnumSections = static_cast<std::int32_t>(0x800469AAu);
inline constexpr std::int32_t kErrAssocParams = static_cast<std::int32_t>(0x800469ACu);
inline constexpr std::int32_t kErrAssocNoClass = static_cast<std::int32_t>(0x800469ADu);

// How a text is stored: REG_EXPAND_SZ when a second "%" follows the first with
// at least one character between them, else REG_SZ.
DWORD StringValueType(const std::string& text);

// Names one value of the settings store through its properties and reads or
// writes it through Value. Each operation opens the key it needs and closes it
// before returning; instances share nothing. Failures raise RegistryError.
class cRegistry {
public:
    std::string Machine() const { return machine_; }
    void setMachine(const std::string& sMachine);

    bool KeyExists() const;
    bool CreateKey();
    // Fails on a key that still has sub-keys.
    bool DeleteKey();
    bool DeleteValue();

    Variant Value();
    void setValue(const Variant& vValue);

    // Names come back numbered 1 to the count; a missing key gives none and true.
    bool EnumerateValues(OneBased<std::string>& sKeyNames, std::int32_t& iKeyCount);
    bool EnumerateSections(OneBased<std::string>& sSect, std::int32_t& iSectCount);

    // Registers a file type under HKEY_CLASSES_ROOT and HKEY_LOCAL_MACHINE\SOFTWARE\Classes.
    // Leaves ClassKey at HKEY_LOCAL_MACHINE.
    void CreateEXEAssociation(std::string sExePath, const std::string& sClassName,
                              const std::string& sClassDescription, const std::string& sAssociation,
                              std::string sOpenMenuText = "", bool bSupportPrint = false,
                              std::string sPrintMenuText = "", bool bSupportNew = false,
                              std::string sNewMenuText = "", bool bSupportInstall = false,
                              std::string sInstallMenuText = "", std::int32_t lDefaultIconIndex = -1);
    // vItems holds triples: verb name, menu text, command.
    void CreateAdditionalEXEAssociations(const std::string& sClassName, const std::vector<Variant>& vItems);

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

    // The source every error of the class carries: the executable's name
    // without extension, then ".cRegistry".
    static std::string ErrorSource();

private:
    void SetClassValue(const std::string& sValue);
    static std::int32_t SwapEndian(std::int32_t v);
    static std::string ExpandEnvStr(const std::string& s);

    [[noreturn]] void raiseSetValue(std::int32_t number, const Variant& vValue) const;
    std::string classKeyText() const;
    Variant readValue(HKEY root);

    std::int32_t classKey_ = 0;
    std::string sectionKey_;
    std::string valueKey_;
    Variant default_;
    std::int32_t valueType_ = 0;
    std::string machine_;
};
