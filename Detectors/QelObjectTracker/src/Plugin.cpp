#include "Plugin.h"

#include <dlfcn.h>
#include <fmt/format.h>

#include <map>
#include <mutex>
#include <stdexcept>

namespace QelObjectTracker {

namespace {

std::mutex cacheMutex;
std::map<std::string, std::weak_ptr<Plugin>> cache;

}  // namespace

Plugin::Plugin(const std::string& name)
{
    boost::system::error_code error;
    library.load(name, boost::dll::load_mode::append_decorations | boost::dll::load_mode::search_system_folders, error);
    if (library.is_loaded()) return;
    // Also beside the plug-in itself: a dlopen interposer (a sanitizer's, for
    // one) makes the loader search without the plug-in's $ORIGIN run path.
    const std::string file = (name.rfind("lib", 0) == 0 ? name : "lib" + name) + ".so";
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&LoadPlugin), &self) != 0 && self.dli_fname != nullptr) {
        boost::system::error_code besideError;
        library.load(boost::dll::fs::path(self.dli_fname).parent_path() / file, boost::dll::load_mode::default_mode,
                     besideError);
    }
    if (!library.is_loaded())
        throw std::runtime_error(fmt::format("Failed to load {}, msg: {}", name, error.message()));
}

std::shared_ptr<Plugin> LoadPlugin(const std::string& name)
{
    std::lock_guard<std::mutex> lock(cacheMutex);
    for (auto it = cache.begin(); it != cache.end();) it = it->second.expired() ? cache.erase(it) : std::next(it);
    if (auto found = cache.find(name); found != cache.end())
        if (auto alive = found->second.lock()) return alive;
    auto plugin = std::make_shared<Plugin>(name);
    cache[name] = plugin;
    return plugin;
}

}  // namespace QelObjectTracker
