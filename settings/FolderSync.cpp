#include "settings/FolderSync.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "settings/UniqueFd.h"

std::string ParentFolder(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool SyncFolder(const std::string& folder)
{
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return false;
    if (::fsync(fd.get()) != 0 && errno != EINVAL)
        return false;
    return fd.close();
}
