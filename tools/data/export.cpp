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

// Bytes that are not UTF-8 become U+FFFD. Two variables with the same name (a long name given
// twice, cut to the same text) show the first one's value, which is the one the file's lines set.
std::string formatJson(const LoadedFile& loaded) {
    nlohmann::ordered_json users = nlohmann::ordered_json::array();
    for (const LoadedRecord& record : loaded.records) {
        nlohmann::ordered_json values = nlohmann::ordered_json::object();
        for (size_t v = 0; v < loaded.variables.size(); ++v)
            if (!values.contains(loaded.variables[v])) values[loaded.variables[v]] = record.values[v];
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
