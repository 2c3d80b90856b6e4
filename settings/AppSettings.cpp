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
}  // namespace AppSettings
