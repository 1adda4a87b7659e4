// Loading the plug-in.
#include "sim/plugin.h"

#include <dlfcn.h>

namespace hostsim {

namespace {

// Resolves `name` in `library` into `out`; on failure appends the name to `missing`.
template <typename T>
void resolve(void* library, const char* name, T& out, std::string& missing) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        missing += missing.empty() ? name : std::string(", ") + name;
        return;
    }
    out = reinterpret_cast<T>(symbol);
}

}  // namespace

bool Plugin::load(const std::string& path, std::string* error) {
    unload();
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        if (error != nullptr) *error = std::string("cannot load plug-in: ") + dlerror();
        return false;
    }
    library_ = library;
    path_ = path;
    std::string missing;
    resolve(library, "initializeServerPlugin", initialize, missing);
    resolve(library, "handleMessage", message, missing);
    resolve(library, "handleTimerEvent", timer, missing);
    resolve(library, "shutdownServerPlugin", shutdown, missing);
    resolve(library, "isVar", isVar_, missing);
    resolve(library, "nbrVar", nbrVar_, missing);
    resolve(library, "isRec", isRec_, missing);
    resolve(library, "nbrRec", nbrRec_, missing);
    indexCheck = reinterpret_cast<IndexCheckFn>(dlsym(library, "morveltIndexCheck"));
    indexHash = reinterpret_cast<IndexHashFn>(dlsym(library, "morveltIndexHash"));
    if (!missing.empty()) {
        unload();
        if (error != nullptr) *error = "plug-in " + path + " lacks " + missing;
        return false;
    }
    return true;
}

void Plugin::unload() {
    if (library_ != nullptr) dlclose(library_);
    library_ = nullptr;
    path_.clear();
    initialize = nullptr;
    message = nullptr;
    timer = nullptr;
    shutdown = nullptr;
    indexCheck = nullptr;
    indexHash = nullptr;
    isVar_ = nullptr;
    nbrVar_ = nullptr;
    isRec_ = nullptr;
    nbrRec_ = nullptr;
}

}  // namespace hostsim
