// Inspecting a data file.
#include "tools/datafile_report.h"

#include <string.h>

#include <algorithm>
#include <map>

#include "sim/host.h"
#include "store/data_file.h"
#include "store/key_names.h"
#include "store/numbers.h"
#include "store/records.h"
#include "tools/clock_text.h"
#include "tools/run_folder.h"
#include "tools/table.h"

namespace simtool {

namespace {

constexpr char kPluginName[] = "morvelt";
constexpr size_t kShownText = 48;  // longest piece of a line a note quotes

std::string keyName(uint32_t key) {
    char name[store::kKeyNameBuffer];
    store::encodeKeyName(key, name);
    return name;
}

// The start of a line as a note quotes it, with control characters (a carriage return from
// another system, a tab) spelled out.
std::string shown(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size() && i < kShownText; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20 || c == 0x7F) out += "\\x" + std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
        else out += static_cast<char>(c);
    }
    return text.size() <= kShownText ? out : out + "...";
}

// Follows the plug-in's load line by line: which record is current, and which keys came before.
class Explainer {
  public:
    explicit Explainer(const std::vector<std::string>& variables) : variables_(variables) {}
    void line(size_t number, const std::string& text);
    std::vector<LineNote> notes;

  private:
    void header(const std::string& text, size_t open);
    void value(const std::string& text, size_t equals);
    void note(bool ignored, const std::string& why) { notes.push_back({number_, ignored, text_, why}); }

    const std::vector<std::string>& variables_;
    size_t number_ = 0;
    std::string text_;
    bool current_ = false;         // a header naming a recorded user came before
    size_t currentLine_ = 0;       // the line of the last header
    std::map<uint32_t, size_t> firstHeader_;  // key -> line of its first header
};

void Explainer::line(size_t number, const std::string& raw) {
    number_ = number;
    text_ = raw.substr(0, raw.find('\0'));  // the plug-in reads a line as a C string
    size_t open = text_.find('[');
    if (open != std::string::npos && text_.find(']', open + 1) != std::string::npos) {
        header(text_, open);
        return;
    }
    if (!current_) {
        if (currentLine_ == 0) note(true, "comes before the first header: it belongs to no user");
        else note(true, "the header on line " + std::to_string(currentLine_) + " names no recorded user");
        return;
    }
    size_t equals = text_.find('=');
    if (equals == std::string::npos) {
        note(true, text_.empty() ? "a blank line" : "neither a header \"[KEY:STAMP]\" nor a \"name=value\" line");
        return;
    }
    value(text_, equals);
}

void Explainer::header(const std::string& text, size_t open) {
    currentLine_ = number_;
    uint32_t key = store::decodeKeyName(text.c_str() + open + 1);
    if (key <= store::kKeyFloor) {
        current_ = false;
        if (key == 0) note(true, "the key name does not start with one of the letters EFGHABCDMNOPI: no user; "
                                 "the lines after it are ignored up to the next header");
        else note(true, "key " + std::to_string(key) + " is 1000 or less, which names no recorded user; "
                        "the lines after it are ignored up to the next header");
        return;
    }
    current_ = true;
    size_t colon = text.find(':', open + 1);
    uint32_t stamp = colon == std::string::npos ? 0 : store::parseUnsigned32(text.c_str() + colon + 1);
    auto first = firstHeader_.find(key);
    if (first != firstHeader_.end())
        note(false, "a second header for key " + std::to_string(key) + " (first on line " +
                        std::to_string(first->second) + "): its stamp replaces the earlier one and its values overwrite");
    else
        firstHeader_[key] = number_;
    if (stamp == 0) note(false, "no stamp: the record is stamped with the present time at start-up");
}

void Explainer::value(const std::string& text, size_t equals) {
    std::string name = text.substr(0, equals);
    if (std::find(variables_.begin(), variables_.end(), name) == variables_.end()) {
        std::string list;
        for (const std::string& v : variables_) list += (list.empty() ? "" : ", ") + v;
        note(true, "\"" + shown(name) + "\" is not a variable (" + (list.empty() ? "there are none" : list) +
                       "): its value is lost at the next save");
        return;
    }
    const char* digits = text.c_str() + equals + 1;
    int32_t read = store::parseSigned32(digits);
    int16_t stored = static_cast<int16_t>(read);
    std::string written = text.substr(equals + 1);
    if (read != stored) {
        note(false, "the value " + written + " is stored as " + std::to_string(stored) + " (its low 16 bits)");
    } else if (written != std::to_string(stored)) {
        note(false, "the value \"" + shown(written) + "\" is read as " + std::to_string(stored));
    }
}

// The lines of `content`, as the plug-in's reader yields them: split at line feeds, a last line
// without one included.
std::vector<std::string> splitLines(const std::string& content) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

void printRecords(const hostsim::Plugin& plugin, const std::vector<std::string>& variables, uint64_t now, FILE* out,
                  size_t* dropped) {
    std::vector<std::string> header{"key", "key name", "last change (UTC)", "age", "next timer"};
    header.insert(header.end(), variables.begin(), variables.end());
    Table table(header);
    for (uint32_t r = 0; r < plugin.recordCount(); ++r) {
        const StatRecord& record = plugin.records()[r];
        uint32_t present = static_cast<uint32_t>(now);
        bool future = record.stamp > now;
        bool drops = store::isExpired(record.stamp, present);
        if (drops) ++*dropped;
        std::string age = future ? formatAge(record.stamp - present) + " ahead" : formatAge(present - record.stamp);
        std::vector<std::string> row{std::to_string(record.key), keyName(record.key), formatDate(record.stamp), age,
                                     drops ? "drops" : "keeps"};
        for (uint32_t v = 0; v < plugin.variableCount(); ++v)
            row.push_back(std::to_string(record.values != nullptr ? record.values[v] : 0));
        table.add(row);
    }
    table.print(out, "  ");
}

}  // namespace

std::vector<LineNote> explainDataFile(const std::string& content, const std::vector<std::string>& variables) {
    Explainer explainer(variables);
    std::vector<std::string> lines = splitLines(content);
    for (size_t i = 0; i < lines.size(); ++i) explainer.line(i + 1, lines[i]);
    return explainer.notes;
}

bool inspectDataFile(const InspectRequest& request, FILE* out, std::string* error) {
    std::string content;
    if (!readFile(request.file, &content, error)) return false;
    RunFolder folder;        // made first, left last: the plug-in's shutdown writes only there
    hostsim::Host host;
    if (!host.load(request.plugin, error) || !folder.enter("", error)) return false;
    if (!writeNewFile(store::kDataPath, content, error)) return false;

    host.setNow(request.now);
    std::vector<std::string> arguments{kPluginName};
    arguments.insert(arguments.end(), request.variables.begin(), request.variables.end());
    host.start(arguments);
    std::vector<std::string> variables;
    for (uint32_t v = 0; v < host.plugin().variableCount(); ++v) variables.push_back(host.plugin().variables()[v].name);

    std::vector<std::string> lines = splitLines(content);
    fprintf(out, "data file: %s (%zu lines), read by the plug-in at %s UTC\n", request.file.c_str(), lines.size(),
            formatDate(request.now).c_str());
    std::string list;
    for (size_t v = 0; v < variables.size(); ++v) list += " " + std::to_string(v + 1) + "=" + variables[v];
    fprintf(out, "variables, as the plug-in numbers them:%s\n\n", list.empty() ? " none" : list.c_str());

    size_t dropped = 0;
    uint32_t users = host.plugin().recordCount();
    if (users == 0) fprintf(out, "no users\n");
    else printRecords(host.plugin(), variables, request.now, out, &dropped);

    std::vector<LineNote> notes = explainDataFile(content, variables);
    size_t ignored = static_cast<size_t>(std::count_if(notes.begin(), notes.end(), [](const LineNote& n) { return n.ignored; }));
    for (bool kind : {true, false}) {
        if (std::none_of(notes.begin(), notes.end(), [&](const LineNote& n) { return n.ignored == kind; })) continue;
        fprintf(out, "\n%s\n", kind ? "lines the plug-in ignores:" : "lines the plug-in reads otherwise than written:");
        for (const LineNote& n : notes)
            if (n.ignored == kind)
                fprintf(out, "  line %zu: \"%s\": %s\n", n.line, shown(n.text).c_str(), n.why.c_str());
    }
    fprintf(out, "\n%u user%s; the next timer event would drop %zu; %zu line%s ignored\n", users, users == 1 ? "" : "s",
            dropped, ignored, ignored == 1 ? "" : "s");
    return true;
}

}  // namespace simtool
