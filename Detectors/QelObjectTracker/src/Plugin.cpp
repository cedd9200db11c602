#include "Plugin.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

namespace QelObjectTracker {

namespace {

std::mutex cacheMutex;
std::map<std::string, std::weak_ptr<Plugin>> cache;

#if defined(__x86_64__)
constexpr unsigned kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kMachine = EM_AARCH64;
#else
#error "no ELF machine for this target"
#endif

// A file descriptor closed on every way out.
class File {
public:
    explicit File(const std::string& path) : fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~File()
    {
        if (fd >= 0) ::close(fd);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool IsOpen() const { return fd >= 0; }
    bool Read(void* to, size_t size, uint64_t offset) const
    {
        return ::pread(fd, to, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
    }
    uint64_t Size() const
    {
        struct stat info {};
        return ::fstat(fd, &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
    }

private:
    int fd;
};

enum class Verdict {
    Missing,     // nothing to open there
    OtherKind,   // an ELF file of another class or machine: the loader passes over it
    LeftToLoad,  // what the loader itself refuses with a message, or a sound file
    Refused,     // the loader would map it past its end
};

// The file as the loader maps it: a loadable segment past the end of the file
// is mapped nonetheless, and touching it takes the process down (SIGBUS).
Verdict Inspect(const std::string& path, std::string& why)
{
    File file(path);
    if (!file.IsOpen()) return Verdict::Missing;
    const uint64_t size = file.Size();
    ElfW(Ehdr) header{};
    if (!file.Read(&header, sizeof header, 0) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
        return Verdict::LeftToLoad;
    if (header.e_ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) || header.e_machine != kMachine)
        return Verdict::OtherKind;
    if (header.e_phentsize != sizeof(ElfW(Phdr))) return Verdict::LeftToLoad;
    const uint64_t tableEnd = uint64_t{header.e_phoff} + uint64_t{header.e_phnum} * sizeof(ElfW(Phdr));
    if (header.e_phoff > size || tableEnd > size) {
        why = fmt::format("{}: file is truncated or corrupt: its program headers end at byte {} of {}", path, tableEnd,
                          size);
        return Verdict::Refused;
    }
    std::vector<ElfW(Phdr)> segments(header.e_phnum);
    if (!segments.empty() && !file.Read(segments.data(), segments.size() * sizeof(ElfW(Phdr)), header.e_phoff))
        return Verdict::LeftToLoad;
    for (const auto& segment : segments) {
        if (segment.p_type != PT_LOAD) continue;
        const uint64_t end = uint64_t{segment.p_offset} + segment.p_filesz;
        if (segment.p_offset > size || segment.p_filesz > size || end > size) {
            why = fmt::format("{}: file is truncated or corrupt: a loadable segment ends at byte {} of {}", path,
                              segment.p_filesz > size ? uint64_t{segment.p_filesz} : end, size);
            return Verdict::Refused;
        }
    }
    return Verdict::LeftToLoad;
}

// Directories the loader searches for a library this code opens by name, in
// its order: the run path, LD_LIBRARY_PATH, the system directories (its cache
// aside).
std::vector<std::string> SearchDirectories()
{
    Dl_info self{};
    link_map* map = nullptr;
    if (dladdr1(reinterpret_cast<void*>(&LoadPlugin), &self, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
        map == nullptr)
        return {};
    Dl_serinfo sizes{};
    if (dlinfo(map, RTLD_DI_SERINFOSIZE, &sizes) != 0 || sizes.dls_size < sizeof(Dl_serinfo)) return {};
    std::vector<std::max_align_t> storage((sizes.dls_size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    auto* info = reinterpret_cast<Dl_serinfo*>(storage.data());
    info->dls_size = sizes.dls_size;
    info->dls_cnt = sizes.dls_cnt;
    if (dlinfo(map, RTLD_DI_SERINFO, info) != 0) return {};
    std::vector<std::string> directories;
    for (unsigned i = 0; i < info->dls_cnt; ++i)
        if (info->dls_serpath[i].dls_name != nullptr) directories.emplace_back(info->dls_serpath[i].dls_name);
    return directories;
}

std::string Decorated(const std::string& name)
{
    return (name.rfind("lib", 0) == 0 ? name : "lib" + name) + ".so";
}

// The plug-in's own directory.
std::optional<boost::dll::fs::path> OwnDirectory()
{
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&LoadPlugin), &self) == 0 || self.dli_fname == nullptr) return std::nullopt;
    return boost::dll::fs::path(self.dli_fname).parent_path();
}

// The loader's message for its last failure.
std::string LoaderMessage()
{
    const char* text = dlerror();
    return text != nullptr ? text : "unknown error";
}

}  // namespace

Plugin::Plugin(const std::string& name)
{
    const std::string file = Decorated(name);
    auto refuse = [&](const std::string& why) {
        throw std::runtime_error(fmt::format("Failed to load {}, msg: {}", name, why));
    };

    // The file the loader's search will come to, checked before it maps it.
    bool found = false;
    std::string why;
    for (const auto& directory : SearchDirectories()) {
        const Verdict verdict = Inspect(directory + "/" + file, why);
        if (verdict == Verdict::Refused) refuse(why);
        if (verdict == Verdict::LeftToLoad) {
            found = true;
            break;
        }
    }

    boost::system::error_code error;
    library.load(name, boost::dll::load_mode::append_decorations | boost::dll::load_mode::search_system_folders, error);
    if (library.is_loaded()) return;
    // The load above ends with the undecorated name, whose message hides the
    // real one: ask the loader about the decorated name itself.
    std::string message;
    if (void* probe = dlopen(file.c_str(), RTLD_LAZY | RTLD_LOCAL)) {
        dlclose(probe);
        message = error.message();
    } else {
        message = LoaderMessage();
    }

    // Also beside the plug-in itself: a dlopen interposer (a sanitizer's, for
    // one) makes the loader search without the plug-in's $ORIGIN run path.
    if (const auto directory = OwnDirectory()) {
        const boost::dll::fs::path beside = *directory / file;
        const Verdict verdict = Inspect(beside.string(), why);
        if (verdict == Verdict::Refused) refuse(why);
        if (verdict != Verdict::Missing) {
            boost::system::error_code besideError;
            library.load(beside, boost::dll::load_mode::default_mode, besideError);
            if (library.is_loaded()) return;
            if (!found) message = LoaderMessage();
        }
    }
    refuse(message);
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
