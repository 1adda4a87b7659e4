// The plug-in as the host sees it: a shared library loaded with dlopen(RTLD_NOW), its four
// entry points and its four exported globals; and, in the build made for tests, the check of
// its key index.
#pragma once

#include <stdint.h>

#include <string>

#include "store/records.h"
#include "store/variables.h"

namespace hostsim {

class Plugin {
  public:
    using InitializeFn = void* (*)(void* handle, int32_t count, char** arguments);
    using MessageFn = void* (*)(void* context, void* second, void* message);
    using TimerFn = int32_t (*)(void* first, void* handle, void* third);
    using ShutdownFn = void* (*)(void* unused);
    using IndexCheckFn = const char* (*)(int32_t* complete);
    using IndexHashFn = uint32_t (*)(uint32_t key);

    Plugin() = default;
    ~Plugin() { unload(); }
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    // Loads the library at `path` and resolves every entry point and global. On failure returns
    // false with a message naming the library and what is missing, and nothing stays loaded.
    bool load(const std::string& path, std::string* error);
    void unload();
    bool loaded() const { return library_ != nullptr; }
    const std::string& path() const { return path_; }

    InitializeFn initialize = nullptr;
    MessageFn message = nullptr;
    TimerFn timer = nullptr;
    ShutdownFn shutdown = nullptr;
    IndexCheckFn indexCheck = nullptr;  // only in the build made for tests (morvelt_checked)
    IndexHashFn indexHash = nullptr;    // likewise

    // The plug-in's state, read through its exported globals.
    StatVariable* variables() const { return *isVar_; }
    uint32_t variableCount() const { return *nbrVar_; }
    StatRecord* records() const { return *isRec_; }
    uint32_t recordCount() const { return *nbrRec_; }

  private:
    void* library_ = nullptr;
    std::string path_;
    StatVariable** isVar_ = nullptr;
    uint32_t* nbrVar_ = nullptr;
    StatRecord** isRec_ = nullptr;
    uint32_t* nbrRec_ = nullptr;
};

}  // namespace hostsim
