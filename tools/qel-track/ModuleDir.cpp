#include "ModuleDir.h"

#include <unistd.h>

#include <vector>

#include "RefHost/ModuleLoader.h"

namespace QelTrack {

namespace {

bool HoldsModule(const std::string& dir)
{
    return access((dir + "/" + RefHost::kModuleLibraryName).c_str(), F_OK) == 0;
}

}  // namespace

std::string DefaultModuleDir()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return "module";
    const std::string exe(path, static_cast<size_t>(n));
    const std::string bin = exe.substr(0, exe.find_last_of('/'));
    const std::vector<std::string> candidates{bin + "/../module", bin + "/" + QEL_PACKAGE_MODULE_FROM_BIN,
                                              QEL_PACKAGE_MODULE_DIR};
    for (const auto& dir : candidates)
        if (HoldsModule(dir)) return dir;
    return candidates.front();
}

}  // namespace QelTrack
