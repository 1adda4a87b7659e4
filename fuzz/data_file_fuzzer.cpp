// The data-file reader on arbitrary bytes: the input's first byte chooses the variables, the
// rest is "psdata/morvelt.ini" at start-up. Start-up, the first timer event's save, shutdown,
// a second start-up reading what was saved and its save must neither crash nor trip a
// sanitizer, the tables must stay well formed, and the second save must write exactly what
// the first did: the save of a loaded file is a fixed point.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "sim/host.h"
#include "tests/table_view.h"

namespace {

constexpr char kData[] = "psdata/morvelt.ini";

// The plug-in's arguments: the names whose bits are set in `choice`, near-alike ones among them.
std::vector<std::string> argumentsFor(uint8_t choice) {
    static const char* const kNames[] = {"score", "lives", "gold", "", "Score", "abcdefghijklmno", "s", "x1"};
    std::vector<std::string> arguments{"morvelt"};
    for (int bit = 0; bit < 8; ++bit)
        if (choice & (1u << bit)) arguments.push_back(kNames[bit]);
    return arguments;
}

std::string readFile(const char* path) {
    std::string content;
    if (FILE* f = fopen(path, "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) != 0) content.append(buffer, n);
        fclose(f);
    }
    return content;
}

// Starts a plug-in on the data file in place, lets the first timer event save, checks the
// tables and shuts down. Returns the file that save wrote.
std::string loadAndSave(const std::vector<std::string>& arguments) {
    hostsim::Host host;
    std::string error;
    if (!host.load(MORVELT_PLUGIN_PATH, &error)) fuzzsupport::finding(error);
    host.start(arguments);
    host.advance(0);
    std::string defect = tableview::defects(host);
    if (!defect.empty()) fuzzsupport::finding(defect);
    std::string saved = readFile(kData);
    if (saved != tableview::render(tableview::copyOf(host))) fuzzsupport::finding("the file is not the table");
    host.shutdown();
    if (host.memory().liveBlocks != 0) fuzzsupport::finding("host blocks alive after shutdown");
    if (readFile(kData) != saved) fuzzsupport::finding("shutdown wrote another file");
    return saved;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    fuzzsupport::freshInput();
    if (FILE* f = fopen(kData, "wb")) {
        fwrite(data + 1, 1, size - 1, f);
        fclose(f);
    }
    std::vector<std::string> arguments = argumentsFor(data[0]);
    std::string first = loadAndSave(arguments);
    std::string second = loadAndSave(arguments);
    if (second != first) fuzzsupport::finding("saving what was loaded changed the file");
    return 0;
}
