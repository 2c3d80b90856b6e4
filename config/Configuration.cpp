#include "config/Configuration.h"

Configuration::Configuration(Data&)
{
    setObjectName("Configuration");
    setWindowTitle("Configuration Options");
    setAttribute(Qt::WA_DeleteOnClose);
}

void Configuration::Form_Load() {}
