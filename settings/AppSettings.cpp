#include "settings/AppSettings.h"

namespace AppSettings {

namespace {
std::string SaveFailureText(LONG rc)
{
    const std::string file = "the settings file " + RegStorePath();
    std::string why;
    switch (rc) {
    case ERROR_ACCESS_DENIED:
        why = file + " cannot be written (access is denied).";
        break;
    case ERROR_REGISTRY_CORRUPT:
        why = file + " is damaged or was not written by Marbleglen; it was left as it is.";
        break;
    default:
        why = "writing " + file + " failed (error " + std::to_string(rc) + "); the disk may be full.";
        break;
    }
    return "The settings were not saved, and none of them was changed: " + why;
}
}  // namespace

cRegistry Open()
{
    cRegistry reg;
    reg.setClassKey(HKEY_CURRENT_USER);
    reg.setSectionKey(kSectionKey);
    reg.setValueType(REG_SZ);
    return reg;
}

std::string ReadText(const std::string& valueName)
{
    cRegistry reg = Open();
    reg.setValueKey(valueName);
    return VariantText(reg.Value());
}

std::int16_t ReadInt16(const std::string& valueName)
{
    cRegistry reg = Open();
    reg.setValueKey(valueName);
    return VariantToInt16(reg.Value()).value_or(0);
}

std::int16_t ReadSlideShowType() { return ReadInt16(kSlideShowType.name); }

bool ReadSwitch(const Setting& setting) { return ReadText(setting) == "1"; }

void WriteText(const std::string& valueName, const std::string& text)
{
    cRegistry reg = Open();
    reg.setValueKey(valueName);
    reg.setValue(text);
}

void WriteTexts(const std::vector<std::pair<std::string, std::string>>& namedTexts)
{
    std::vector<RegBatchOp> ops;
    for (const auto& [name, text] : namedTexts) {
        RegBatchOp op;
        op.kind = RegBatchOp::SetValue;
        op.root = HKEY_CURRENT_USER;
        op.key = kSectionKey;
        op.name = name;
        op.type = StringValueType(text);
        op.data.assign(text.begin(), text.end());
        op.data.push_back(0);
        ops.push_back(std::move(op));
    }
    if (LONG rc = RegApplyBatch(ops); rc != ERROR_SUCCESS)
        throw RegistryError(kErrSetValue, cRegistry::ErrorSource(), SaveFailureText(rc));
}

}  // namespace AppSettings
