// Journals made by hand, as store/journal.h describes them, for tests that plant one: the header
// (magic, device, inode, text length, path), the text, and the CRC-32 of all before it.
#pragma once

#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

namespace journalfile {

inline uint32_t crc32(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) != 0 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return ~crc;
}

inline void put(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
}

// A complete journal of `text` for the file at the absolute path `path`, device `device` and
// inode `inode`.
inline std::string journal(const std::string& path, uint64_t device, uint64_t inode, const std::string& text) {
    std::string out = "morvelt journal\n";
    put(out, device, 8);
    put(out, inode, 8);
    put(out, text.size(), 8);
    put(out, path.size(), 4);
    out += path + text;
    put(out, crc32(out), 4);
    return out;
}

// The absolute path of `relative`, its folder's links followed, as a journal names it.
inline std::string absolute(const std::string& relative) {
    size_t slash = relative.rfind('/');
    char real[PATH_MAX];
    std::string folder = slash == std::string::npos ? "." : relative.substr(0, slash);
    if (realpath(folder.c_str(), real) == nullptr) return "";
    return std::string(real) + "/" + relative.substr(slash + 1);
}

// A complete journal of `text` for the file at `relative`, as it is now.
inline std::string journalFor(const std::string& relative, const std::string& text) {
    struct stat status;
    if (stat(relative.c_str(), &status) != 0) return "";
    return journal(absolute(relative), status.st_dev, status.st_ino, text);
}

}  // namespace journalfile
