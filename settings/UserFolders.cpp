#include "settings/UserFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

std::string UserBaseFolder(const char* variable, const char* underHome)
{
    std::string base;
    const char* xdg = std::getenv(variable);
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) {
            const passwd* pw = ::getpwuid(::getuid());
            home = pw ? pw->pw_dir : "/";
        }
        base = std::string(home) + "/" + underHome;
    }
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    return base;
}
