// What both fuzzers share: a working folder for the whole run, emptied of data files before
// each input so that no input sees another's, the plug-in kept loaded for the whole run, and a
// way to stop the run on a finding.
#pragma once

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "sim/work_dir.h"

namespace fuzzsupport {

// Prepares the run once, then removes the data file and its companions.
inline void freshInput() {
    // Every input saves several times: keep the folder in memory where there is such a place.
    static bool inMemory = access("/dev/shm", W_OK) == 0 && setenv("TMPDIR", "/dev/shm", 1) == 0;
    static hostsim::WorkDir* dir = new hostsim::WorkDir;
    // libFuzzer keeps reading the plug-in's coverage counters, so it must never be unmapped,
    // although each Host unloads it.
    static void* pinned = dlopen(MORVELT_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (pinned == nullptr) {
        fprintf(stderr, "fuzz: cannot load %s: %s\n", MORVELT_PLUGIN_PATH, dlerror());
        abort();
    }
    (void)inMemory;
    (void)dir;
    for (const char* name : {"psdata/morvelt.ini", "psdata/morvelt.ini.tmp", "psdata/morvelt.ini.bak",
                             "psdata/morvelt.ini.bak.tmp"})
        unlink(name);
}

// Reports a finding and stops, so that libFuzzer keeps the input.
[[noreturn]] inline void finding(const std::string& what) {
    fprintf(stderr, "fuzz finding: %s\n", what.c_str());
    abort();
}

}  // namespace fuzzsupport
