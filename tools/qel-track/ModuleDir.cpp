#include "ModuleDir.h"

#include <unistd.h>

namespace QelTrack {

std::string DefaultModuleDir()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return "module";
    const std::string exe(path, static_cast<size_t>(n));
    return exe.substr(0, exe.find_last_of('/')) + "/../module";
}

}  // namespace QelTrack
