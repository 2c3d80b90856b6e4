#include "tests/support/TempStore.h"

#include <cstdlib>

TempStore::TempStore()
{
    const char* old = std::getenv("XDG_CONFIG_HOME");
    hadPrevious_ = old != nullptr;
    if (old)
        previous_ = old;
    setenv("XDG_CONFIG_HOME", dir_.path().toLocal8Bit().constData(), 1);
}

TempStore::~TempStore()
{
    if (hadPrevious_)
        setenv("XDG_CONFIG_HOME", previous_.constData(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}
