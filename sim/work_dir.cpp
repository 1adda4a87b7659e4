// A temporary working folder for a simulated host.
#include "sim/work_dir.h"

#include <ftw.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hostsim {

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

}  // namespace

WorkDir::WorkDir() {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) != nullptr) previous_ = cwd;
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/morvelt-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr || mkdir((pattern + "/psdata").c_str(), 0755) != 0 ||
        chdir(pattern.c_str()) != 0) {
        perror("hostsim: cannot make a working folder");
        abort();
    }
    path_ = pattern;
}

WorkDir::~WorkDir() {
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) perror("hostsim: cannot leave the working folder");
    nftw(path_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string WorkDir::read(const std::string& relative) const {
    std::string content;
    FILE* f = fopen((path_ + "/" + relative).c_str(), "rb");
    if (f == nullptr) return content;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) != 0) content.append(buffer, n);
    fclose(f);
    return content;
}

bool WorkDir::write(const std::string& relative, const std::string& content) const {
    FILE* f = fopen((path_ + "/" + relative).c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
    return fclose(f) == 0 && ok;
}

bool WorkDir::exists(const std::string& relative) const {
    struct stat st;
    return stat((path_ + "/" + relative).c_str(), &st) == 0;
}

}  // namespace hostsim
