// Smoke run of the reference host: load the module, initialise it, create
// and destroy a detector, finalise, and print what the module logged.

#include <unistd.h>

#include <cstring>
#include <exception>
#include <iostream>
#include <string>

#include "RefHost/Host.h"
#include "RefHost/ModuleLoader.h"

namespace {

std::string DefaultModuleDir()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return "module";
    std::string exe(path, static_cast<size_t>(n));
    const auto slash = exe.find_last_of('/');
    return exe.substr(0, slash) + "/../module";
}

}  // namespace

int main(int argc, char** argv)
{
    std::string moduleDir = DefaultModuleDir();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--module") == 0 && i + 1 < argc) {
            moduleDir = argv[++i];
        } else {
            std::cerr << "usage: qel-smoke [--module DIR]\n";
            return 2;
        }
    }

    RefHost::Host host(0);
    try {
        RefHost::LoadedModule module(moduleDir + "/" + RefHost::kModuleLibraryName);
        const int32_t init = module.Initialize(&host.services, moduleDir.c_str());
        std::cout << "InitializeModule: " << init << '\n';
        if (init != 0) return 4;
        Kest8::Analytics::IModule* plugin = module.Get();
        Kest8::Analytics::IDetector* detector = plugin->CreateDetector("QelObjectTracker", &host.context);
        std::cout << "CreateDetector: " << (detector ? "ok" : "failed") << '\n';
        if (detector) detector->Destroy();
        module.Finalize();
        std::cout << "FinalizeModule: done\n";
    } catch (const std::exception& e) {
        std::cerr << "qel-smoke: " << e.what() << '\n';
        return 4;
    }

    std::cout << "Module log:\n";
    for (const auto& line : host.logger.Lines()) std::cout << "  " << RefHost::Logger::Format(line) << '\n';
    return 0;
}
