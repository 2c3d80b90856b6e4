#include "settings/variant.h"

std::string VariantText(const Variant&) { return {}; }
bool VariantIsEmpty(const Variant& v) { return std::holds_alternative<std::monostate>(v); }
