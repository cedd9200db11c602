#pragma once
// The wrapper library, loaded at run time by name and shared by every
// detector of the process.

#include <boost/dll/shared_library.hpp>
#include <memory>
#include <string>

namespace QelObjectTracker {

class Plugin {
public:
    // Loads lib<name>.so through the dynamic loader's search (the plug-in's
    // $ORIGIN run path included); throws std::runtime_error on failure.
    explicit Plugin(const std::string& name);
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    // The symbol's address; throws boost::system::system_error when the
    // library lacks it.
    template <class Function>
    Function* Get(const char* symbol) const
    {
        return &library.get<Function>(symbol);
    }

    const boost::dll::shared_library& Library() const noexcept { return library; }

private:
    boost::dll::shared_library library;
};

// The process's loaded Plugin for `name`, loading it when no detector holds
// it; the cache keeps no library loaded by itself.
std::shared_ptr<Plugin> LoadPlugin(const std::string& name);

}  // namespace QelObjectTracker
