#include "headless/Module.h"

#include <dlfcn.h>

#include <filesystem>
#include <map>
#include <mutex>

namespace portvale::headless {

void* ModuleEntry(const std::string& file, const char* symbol, std::string& error) {
    static std::mutex mutex;
    // What each module gave: its entry, or why there is none.
    static std::map<std::string, std::pair<void*, std::string>> found;
    const std::lock_guard<std::mutex> lock(mutex);
    const std::string key = file + ":" + symbol;
    if (const auto it = found.find(key); it != found.end()) {
        error = it->second.second;
        return it->second.first;
    }
    std::error_code ignored;
    const std::filesystem::path folder = std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path();
    std::string tried;
    for (const std::filesystem::path& place :
         {folder / file, (folder / PORTVALE_MODULE_FROM_BINDIR / file).lexically_normal()}) {
        if (!std::filesystem::exists(place, ignored)) {
            tried += (tried.empty() ? "" : ", ") + place.string();
            continue;
        }
        void* entry = nullptr;
        if (void* module = ::dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL)) entry = ::dlsym(module, symbol);
        if (!entry) {
            const char* why = ::dlerror();
            error = "cannot load " + place.string() + ": " + (why ? why : "no entry point");
        }
        found[key] = {entry, error};
        return entry;
    }
    error = file + " is not installed (looked for " + tried + ")";
    found[key] = {nullptr, error};
    return nullptr;
}

}  // namespace portvale::headless
