// Inspecting a data file.
#include "tools/data/datafile_report.h"

#include <ctype.h>
#include <string.h>

#include <algorithm>
#include <map>

#include "store/file_replace.h"
#include "store/key_names.h"
#include "store/records.h"
#include "tools/common/clock_text.h"
#include "tools/data/own_store.h"
#include "tools/common/table.h"

namespace simtool {

namespace {

using store::LineNote;
using store::LineReading;

constexpr size_t kQuotedText = 48;  // longest piece of a line a remark quotes
constexpr char kRestIgnored[] = "the lines after it are ignored up to the next header";

// The text of `line` from `from` up to the first of `ends` (or its end).
std::string fieldText(const char* from, const char* ends) { return std::string(from, strcspn(from, ends)); }

bool sameLetters(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return toupper(static_cast<unsigned char>(x)) == toupper(static_cast<unsigned char>(y));
           });
}

// Turns the reader's note on each line into remarks on the lines it ignores or reinterprets.
// It keeps only what the notes say: which header came last, and what each section set.
class Explainer {
  public:
    explicit Explainer(const std::vector<std::string>& variables) : variables_(variables) {}
    void operator()(const LineNote& note);
    size_t lines() const { return line_; }
    std::vector<LineRemark> remarks;

  private:
    void header(const LineNote& note);
    void headerWithoutUser(const LineNote& note);
    void keyAndStamp(const LineNote& note);
    void value(const LineNote& note);
    void notRead(const LineNote& note);
    void remark(bool ignored, const std::string& why) { remarks.push_back({line_, ignored, text_, why}); }
    std::string variableList() const;

    const std::vector<std::string>& variables_;
    size_t line_ = 0;
    std::string text_;
    size_t headerLine_ = 0;                     // the last header's line; 0 before the first
    std::map<uint32_t, size_t> firstHeader_;    // key -> line of its first header
    std::map<uint32_t, size_t> setInSection_;   // variable index -> line that set it since the last header
};

void Explainer::operator()(const LineNote& note) {
    ++line_;
    text_ = note.text;
    switch (note.reading) {
        case LineReading::kHeader: header(note); break;
        case LineReading::kValue: value(note); break;
        default: notRead(note); break;
    }
}

void Explainer::header(const LineNote& note) {
    headerLine_ = line_;
    setInSection_.clear();
    if (!note.current) {
        headerWithoutUser(note);
        return;
    }
    auto first = firstHeader_.find(note.key);
    if (!note.created && first != firstHeader_.end())
        remark(false, "a second header for key " + std::to_string(note.key) + " (first on line " +
                          std::to_string(first->second) + "): its stamp replaces the earlier one and its values overwrite");
    else
        firstHeader_[note.key] = line_;
    keyAndStamp(note);
}

void Explainer::headerWithoutUser(const LineNote& note) {
    const char* name = strchr(note.text, '[') + 1;
    std::string written = fieldText(name, ":]");
    if (note.key > store::kKeyFloor)
        remark(true, "no room for another record: " + std::string(kRestIgnored));
    else if (strchr(store::kKeyDigits, toupper(static_cast<unsigned char>(*name))) == nullptr || *name == '\0')
        remark(true, std::string("no key name after the '[' (key names are written with the letters ") +
                         store::kKeyDigits + "): the plug-in keeps no user under it; " + kRestIgnored);
    else
        remark(true, "the key name \"" + quoted(written) + "\" is key " + std::to_string(note.key) +
                         ": the plug-in keeps no user at key 1000 or below; " + kRestIgnored);
}

// Remarks on a key name or stamp that the reader takes otherwise than written.
void Explainer::keyAndStamp(const LineNote& note) {
    std::string written = fieldText(strchr(note.text, '[') + 1, ":]");
    std::string saved = keyName(note.key);
    if (!sameLetters(written, saved))
        remark(false, "the key name \"" + quoted(written) + "\" is read as key " + std::to_string(note.key) +
                          ", which is saved as \"" + saved + "\"");
    if (note.stamp == 0) {
        remark(false, "no stamp: the record is stamped with the present time at start-up");
        return;
    }
    std::string stamp = fieldText(note.field, "]");
    std::string digits = stamp.substr(std::min(stamp.find_first_not_of('0'), stamp.size()));
    if (digits != std::to_string(note.stamp))
        remark(false, "the stamp \"" + quoted(stamp) + "\" is read as " + std::to_string(note.stamp) +
                          (note.stamp == UINT32_MAX ? ", the largest stamp there is" : "") + " (" +
                          formatDate(note.stamp) + " UTC)");
}

void Explainer::value(const LineNote& note) {
    std::string written = note.field;
    auto stored = static_cast<int16_t>(note.read);
    std::string read = std::to_string(note.read);
    if (note.read != stored)
        remark(false, "the value " + quoted(written) + " is stored as " + std::to_string(stored) +
                          (written == read ? " (its low 16 bits)" : " (the low 16 bits of " + read + ", as it is read)"));
    else if (written != std::to_string(stored))
        remark(false, "the value \"" + quoted(written) + "\" is read as " + std::to_string(stored));
    auto earlier = setInSection_.find(note.variable);
    if (earlier != setInSection_.end())
        remark(false, "sets " + variables_[note.variable - 1] + " again since the header on line " +
                          std::to_string(headerLine_) + ": it overwrites the value of line " +
                          std::to_string(earlier->second));
    setInSection_[note.variable] = line_;
}

void Explainer::notRead(const LineNote& note) {
    if (note.reading == LineReading::kUnknownVariable) {
        std::string name(note.text, static_cast<size_t>(note.field - 1 - note.text));
        remark(true, "\"" + quoted(name) + "\" is not a variable (" + variableList() + "): its value is lost at the next save");
    } else if (note.reading == LineReading::kNoRecord) {
        remark(true, headerLine_ == 0 ? "comes before the first header: it belongs to no user"
                                      : "the header on line " + std::to_string(headerLine_) + " gives no user to read values into");
    } else if (text_.empty()) {
        remark(true, "a blank line");
    } else if (text_.find('[') != std::string::npos) {
        remark(true, "not a header, for no ']' follows its '[': the lines after it still belong to the header on line " +
                         std::to_string(headerLine_));
    } else {
        remark(true, "neither a header \"[KEY:STAMP]\" nor a \"name=value\" line");
    }
}

std::string Explainer::variableList() const {
    std::string list;
    for (const std::string& v : variables_) list += (list.empty() ? "" : ", ") + v;
    return list.empty() ? "there are none" : list;
}

void printRecords(const LoadedFile& loaded, uint64_t now, FILE* out, size_t* dropped) {
    std::vector<std::string> header{"key", "key name", "last change (UTC)", "age", "next timer"};
    header.insert(header.end(), loaded.variables.begin(), loaded.variables.end());
    Table table(header);
    for (const LoadedRecord& record : loaded.records) {
        uint32_t present = static_cast<uint32_t>(now);
        bool future = record.stamp > now;
        bool drops = store::isExpired(record.stamp, present);
        if (drops) ++*dropped;
        std::string age = future ? formatAge(record.stamp - present) + " ahead" : formatAge(present - record.stamp);
        std::vector<std::string> row{std::to_string(record.key), keyName(record.key), formatDate(record.stamp), age,
                                     drops ? "drops" : "keeps"};
        for (int16_t value : record.values) row.push_back(std::to_string(value));
        table.add(row);
    }
    table.print(out, "  ");
}

void printRemarks(const std::vector<LineRemark>& remarks, FILE* out) {
    for (bool kind : {true, false}) {
        if (std::none_of(remarks.begin(), remarks.end(), [&](const LineRemark& r) { return r.ignored == kind; }))
            continue;
        fprintf(out, "\n%s\n", kind ? "lines the plug-in ignores:" : "lines the plug-in reads otherwise than written:");
        for (const LineRemark& r : remarks)
            if (r.ignored == kind) fprintf(out, "  line %zu: \"%s\": %s\n", r.line, quoted(r.text).c_str(), r.why.c_str());
    }
}

}  // namespace

std::string quoted(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < text.size() && i < kQuotedText; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20 || c == 0x7F) out += std::string("\\x") + kHex[c >> 4] + kHex[c & 15];
        else out += static_cast<char>(c);
    }
    return text.size() <= kQuotedText ? out : out + "...";
}

bool explainDataFile(const std::string& content, const std::vector<std::string>& variables, uint64_t now,
                     Explanation* explanation, std::string* error) {
    OwnStore own(now);
    own.addVariables(variables);
    Explainer explainer(variables);
    if (!own.load(content, std::ref(explainer), error)) return false;
    explanation->lines = explainer.lines();
    explanation->remarks = std::move(explainer.remarks);
    return true;
}

bool inspectDataFile(const LoadRequest& request, FILE* out, std::string* error) {
    LoadedFile loaded;
    if (!loadDataFile(request, &loaded, error)) return false;
    Explanation explanation;
    if (!explainDataFile(loaded.content, loaded.variables, request.now, &explanation, error)) return false;

    fprintf(out, "data file: %s (%zu lines), read by the plug-in at %s UTC\n", request.file.c_str(), explanation.lines,
            formatDate(request.now).c_str());
    store::Path journal;
    if (store::journalPending(request.file.c_str(), journal))
        fprintf(out, "journal pending: %s, from a save cut short; the next start of the host writes its text over "
                     "the file, so the file shown here is not what the plug-in will read\n", journal.text);
    std::string list;
    for (size_t v = 0; v < loaded.variables.size(); ++v) list += " " + std::to_string(v + 1) + "=" + loaded.variables[v];
    fprintf(out, "variables, as the plug-in numbers them:%s\n\n", list.empty() ? " none" : list.c_str());

    size_t dropped = 0;
    size_t users = loaded.records.size();
    if (users == 0) fprintf(out, "no users\n");
    else printRecords(loaded, request.now, out, &dropped);

    const std::vector<LineRemark>& remarks = explanation.remarks;
    printRemarks(remarks, out);
    size_t ignored = static_cast<size_t>(std::count_if(remarks.begin(), remarks.end(), [](const LineRemark& r) { return r.ignored; }));
    fprintf(out, "\n%zu user%s; the next timer event would drop %zu; %zu line%s ignored\n", users, users == 1 ? "" : "s",
            dropped, ignored, ignored == 1 ? "" : "s");
    return true;
}

}  // namespace simtool
