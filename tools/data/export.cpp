// morvelt export.
#include "tools/data/export.h"

#include <nlohmann/json.hpp>

#include "tools/common/clock_text.h"

namespace simtool {

namespace {

constexpr char kCrlf[] = "\r\n";

std::string formatCsv(const LoadedFile& loaded) {
    std::string text = "key,key_name,stamp,stamp_utc";
    for (const std::string& name : loaded.variables) text += "," + csvField(name);
    text += kCrlf;
    for (const LoadedRecord& record : loaded.records) {
        text += std::to_string(record.key) + "," + keyName(record.key) + "," + std::to_string(record.stamp) + "," +
                formatIsoDate(record.stamp);
        for (int16_t value : record.values) text += "," + std::to_string(value);
        text += kCrlf;
    }
    return text;
}

// The length of the well-formed UTF-8 sequence at the start of `text` (`size` bytes), or 0 where
// it starts with a byte that begins none: overlong forms, surrogates and code points above
// U+10FFFF are not well formed.
size_t utf8Length(const unsigned char* text, size_t size) {
    unsigned char lead = text[0];
    if (lead < 0x80) return 1;
    size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || length > size) return 0;
    unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;  // the second byte's range
    unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (text[1] < low || text[1] > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if (text[i] < 0x80 || text[i] > 0xBF) return 0;
    return length;
}

// A variable's name as a JSON member name: each byte that is not part of well-formed UTF-8
// becomes "[HH]", its value in two upper-case hexadecimal digits. A variable name never holds
// '[', so names that differ stay apart and a well-formed name is written as it is.
std::string jsonName(const std::string& name) {
    static const char kHex[] = "0123456789ABCDEF";
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(name.data());
    std::string text;
    for (size_t i = 0; i < name.size();) {
        size_t length = utf8Length(bytes + i, name.size() - i);
        if (length == 0) {
            text += {'[', kHex[bytes[i] >> 4], kHex[bytes[i] & 0xF], ']'};
            ++i;
        } else {
            text.append(name, i, length);
            i += length;
        }
    }
    return text;
}

// Member names as jsonName writes them. Two variables with the same name (a long name given
// twice, cut to the same text) show the first one's value, which is the one the file's lines set.
std::string formatJson(const LoadedFile& loaded) {
    nlohmann::ordered_json users = nlohmann::ordered_json::array();
    for (const LoadedRecord& record : loaded.records) {
        nlohmann::ordered_json values = nlohmann::ordered_json::object();
        for (size_t v = 0; v < loaded.variables.size(); ++v) {
            std::string name = jsonName(loaded.variables[v]);
            if (!values.contains(name)) values[name] = record.values[v];
        }
        users.push_back({{"key", record.key}, {"key_name", keyName(record.key)}, {"stamp", record.stamp},
                         {"stamp_utc", formatIsoDate(record.stamp)}, {"values", std::move(values)}});
    }
    return users.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string formatExport(const LoadedFile& loaded, ExportFormat format) {
    return format == ExportFormat::kCsv ? formatCsv(loaded) : formatJson(loaded);
}

bool exportRecords(const ExportRequest& request, FILE* out, std::string* error) {
    LoadedFile loaded;
    if (!loadDataFile(request.load, &loaded, error)) return false;
    std::string text = formatExport(loaded, request.format);
    fwrite(text.data(), 1, text.size(), out);
    return true;
}

}  // namespace simtool
