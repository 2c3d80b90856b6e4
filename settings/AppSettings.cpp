#include "settings/AppSettings.h"

namespace AppSettings {

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

std::int16_t ReadSlideShowType() { return ReadInt16("varSlideShowType"); }

void WriteText(const std::string& valueName, const std::string& text)
{
    cRegistry reg = Open();
    reg.setValueKey(valueName);
    reg.setValue(text);
}

}  // namespace AppSettings
