#include "settings/cRegistry.h"

void cRegistry::setMachine(const std::string& sMachine) { machine_ = sMachine; }
bool cRegistry::KeyExists() const { return false; }
bool cRegistry::CreateKey() { return false; }
Variant cRegistry::Value() { return default_; }
void cRegistry::setValue(const Variant&) {}
