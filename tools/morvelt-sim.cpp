// morvelt-sim: the host simulator as a command-line tool. It loads the real plug-in library,
// plays the chat server for it (rooms, spots, users, messages, the clock and its timer events)
// in a folder of its own, and reports what the plug-in did.
//
//   morvelt-sim example                       the bundled story, as a transcript
//   morvelt-sim --version                     the release it belongs to
//   morvelt-sim run session.script            replays a session script, checking its expectations
//   morvelt-sim inspect morvelt.ini --vars gold score
//                                              what the plug-in makes of a data file
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "example_script.h"
#include "sim/host.h"
#include "store/data_file.h"
#include "tools/clock_text.h"
#include "tools/datafile_report.h"
#include "tools/run_folder.h"
#include "tools/script.h"
#include "tools/session.h"

namespace {

using namespace simtool;

constexpr int kOk = 0;
constexpr int kExpectationFailed = 1;
constexpr int kBadInput = 2;

const char kUsage[] =
    "usage: morvelt-sim [--plugin LIBRARY] [--dir FOLDER] COMMAND\n"
    "\n"
    "Runs the Morvelt plug-in in a simulated chat server, as the server would, and tells what it did.\n"
    "\n"
    "Commands:\n"
    "  example                    replays the bundled story: a value set on a SetStats- spot goes\n"
    "                             through the data file and a restart to a GetStats- spot\n"
    "  run SCRIPT                 replays the session script SCRIPT (format below), printing what each\n"
    "                             event changed and whether each expectation held\n"
    "  inspect FILE --vars NAME... [--now WHEN]\n"
    "                             loads the data file FILE through the plug-in with the variables NAME...\n"
    "                             (the plug-in's arguments, in the host's order) and prints one row per\n"
    "                             user and every line the plug-in would ignore; FILE is only read\n"
    "  --help                     this text\n"
    "  --version                  the version of the tool and of the plug-in released with it\n"
    "\n"
    "Options:\n"
    "  --plugin LIBRARY           the plug-in to load (default: " MORVELT_PLUGIN_FILE_NAME " in the tool's own folder)\n"
    "  --dir FOLDER               run in FOLDER (made if missing, kept afterwards; it must hold no\n"
    "                             psdata/morvelt.ini) instead of a temporary folder removed at the end\n"
    "  --now WHEN                 inspect: the present time, e.g. 2026-01-01 or \"2026-01-01 12:00:00\"\n"
    "                             (UTC); the default is the machine's clock\n"
    "\n"
    "Exit status: 0 when everything held, 1 when an expectation failed, 2 on bad input (a script\n"
    "line, an unknown room, user or spot, a missing file, a library that does not load).\n"
    "\n"
    "Examples:\n"
    "  morvelt-sim example\n"
    "  morvelt-sim run my-room.script\n"
    "  morvelt-sim --dir try run my-room.script      keeps try/psdata/morvelt.ini to look at\n"
    "  morvelt-sim inspect psdata/morvelt.ini --vars gold lives score --now 2026-01-03\n"
    "\n"
    "A session script, my-room.script:\n"
    "  variables score\n"
    "  room workshop SetStats-score\n"
    "  room hall GetStats-score\n"
    "  user ann 4660 22136\n"
    "  start\n"
    "  logon ann workshop\n"
    "  set ann workshop SetStats-score 7\n"
    "  restart\n"
    "  enter ann hall\n"
    "  expect spot hall GetStats-score 7\n"
    "\n";

struct Options {
    std::string command;
    std::vector<std::string> operands;
    std::vector<std::string> variables;
    bool varsGiven = false;
    std::string plugin;  // "" for the one beside the tool
    std::string dir;
    std::string now;
};

bool fail(const std::string& message) {
    fprintf(stderr, "morvelt-sim: %s\n", message.c_str());
    return false;
}

// Tells what is wrong with the input and gives the exit status for it.
int badInput(const std::string& message) {
    fail(message);
    return kBadInput;
}

// Reads the command line; false after telling what is wrong.
bool parseArguments(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) return fail("option " + a + ": expected a value after it");
            *out = argv[++i];
            return true;
        };
        if (a == "--help" || a == "-h" || a == "help") {
            options->command = "help";
            return true;
        }
        if (a == "--version") {
            options->command = "version";
            return true;
        }
        if (a == "--plugin" || a == "--dir" || a == "--now") {
            if (!value(a == "--plugin" ? &options->plugin : a == "--dir" ? &options->dir : &options->now)) return false;
        } else if (a == "--vars") {
            options->varsGiven = true;
            while (i + 1 < argc && strncmp(argv[i + 1], "--", 2) != 0) options->variables.push_back(argv[++i]);
        } else if (a.compare(0, 1, "-") == 0) {
            return fail("unknown option " + a + ": expected --plugin, --dir, --vars, --now, --help or --version");
        } else if (options->command.empty()) {
            options->command = a;
        } else {
            options->operands.push_back(a);
        }
    }
    if (options->command.empty()) return fail("expected a command: example, run SCRIPT, inspect FILE or --help");
    return true;
}

// The folder this program's file lies in, with a trailing slash.
bool toolFolder(std::string* folder) {
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return fail(std::string("cannot find the tool's own folder through /proc/self/exe: ") + strerror(errno) +
                    ": give the plug-in with --plugin LIBRARY");
    self[length] = '\0';
    *folder = self;
    folder->erase(folder->rfind('/') + 1);
    return true;
}

// The absolute path of the plug-in library in the tool's own folder, as the release lays it out.
bool pluginBesideTool(std::string* path) {
    std::string folder;
    if (!toolFolder(&folder)) return false;
    std::string beside = folder + MORVELT_PLUGIN_FILE_NAME;
    char resolved[PATH_MAX];
    if (realpath(beside.c_str(), resolved) == nullptr)
        return fail("expected the plug-in library beside the tool, at " + beside +
                    ", but there is no such file: give its path with --plugin LIBRARY");
    *path = resolved;
    return true;
}

// The absolute path of the plug-in, `given` or else the one beside the tool; absolute so that a
// reload still finds it from another folder.
bool pluginPath(const std::string& given, std::string* path) {
    if (given.empty()) return pluginBesideTool(path);
    char resolved[PATH_MAX];
    if (realpath(given.c_str(), resolved) == nullptr)
        return fail("--plugin " + given + ": expected a plug-in library, but there is no such file");
    *path = resolved;
    return true;
}

bool loadPlugin(hostsim::Host& host, const std::string& path) {
    std::string error;
    if (host.load(path, &error)) return true;
    return fail("--plugin " + path + ": expected a library with the plug-in's entry points and globals: " + error);
}

// Replays a parsed script; `title` names it in the transcript.
int replay(const Script& script, const std::string& title, const Options& options) {
    std::string error, plugin;
    if (!pluginPath(options.plugin, &plugin)) return kBadInput;

    RunFolder folder;     // made first, left last: the plug-in's shutdown writes only there
    hostsim::Host host;
    if (!loadPlugin(host, plugin)) return kBadInput;
    if (!folder.enter(options.dir, &error)) return badInput("--dir " + error);
    if (!script.dataFile.empty() && !copyFile(script.dataFile, store::kDataPath, &error)) return badInput(error);

    printf("Replaying %s\n", title.c_str());
    printf("plug-in: %s\n", plugin.c_str());
    printf("folder: %s\n", folder.temporary() ? "a temporary one, removed at the end" : (folder.path() + ", kept").c_str());
    if (!script.dataFile.empty()) printf("data file: a copy of %s\n", script.dataFile.c_str());
    printf("clock: %s UTC\n\n", formatDate(script.clockSet ? script.clock : host.now()).c_str());

    Session session(script, host, stdout);
    if (!session.run(&error)) return badInput(error);
    const std::vector<int>& failed = session.failedLines();
    if (session.held() == 0 && failed.empty()) {
        printf("\nno expectations\n");
        return kOk;
    }
    printf("\nexpectations: %d held, %zu failed", session.held(), failed.size());
    for (size_t i = 0; i < failed.size(); ++i)
        printf("%s%d", i != 0 ? ", " : failed.size() == 1 ? " (line " : " (lines ", failed[i]);
    printf("%s\n", failed.empty() ? "" : ")");
    return failed.empty() ? kOk : kExpectationFailed;
}

int runScript(const std::string& path, const Options& options) {
    Script script;
    std::string error;
    if (!parseScript(path, &script, &error)) return badInput(error);
    return replay(script, path, options);
}

// The example script carried in the tool (the release also ships it as a file, to read and copy).
int runExample(const Options& options) {
    Script script;
    std::string error;
    if (!parseScriptText(kExampleScriptFileName, kExampleScript, &script, &error)) return badInput(error);
    return replay(script, std::string("the bundled example, ") + kExampleScriptFileName, options);
}

int inspect(const Options& options) {
    if (options.operands.size() != 1) return badInput("inspect: expected one data file: inspect FILE --vars NAME...");
    if (!options.varsGiven) return badInput("inspect: expected --vars NAME..., the plug-in's variables in the host's order");
    if (!options.dir.empty()) return badInput("inspect: --dir is not used: the file is loaded in a temporary folder");
    InspectRequest request{options.operands[0], options.variables, realNow(), ""};
    if (!options.now.empty() && !parseDate(options.now, &request.now))
        return badInput("--now " + options.now + ": expected a time such as 2026-01-01 or \"2026-01-01 12:00:00\"");
    if (!pluginPath(options.plugin, &request.plugin)) return kBadInput;
    std::string error;
    if (!inspectDataFile(request, stdout, &error)) return badInput(error);
    return kOk;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseArguments(argc, argv, &options)) return kBadInput;
    const std::string& c = options.command;
    if (c == "help") {
        printf("%s%s", kUsage, kScriptFormatHelp);
        return kOk;
    }
    if (c == "version") {
        printf("morvelt-sim %s (plug-in v%d.%d Build %d)\n", MORVELT_VERSION, MORVELT_VERSION_MAJOR,
               MORVELT_VERSION_MINOR, MORVELT_VERSION_BUILD);
        return kOk;
    }
    if (c != "inspect" && !options.now.empty()) return badInput("--now is for inspect only");
    if (c != "inspect" && options.varsGiven) return badInput("--vars is for inspect only");
    if (c == "example") {
        if (!options.operands.empty()) return badInput("example: expected no operand");
        return runExample(options);
    }
    if (c == "run") {
        if (options.operands.size() != 1) return badInput("run: expected one script: run SCRIPT");
        return runScript(options.operands[0], options);
    }
    if (c == "inspect") return inspect(options);
    return badInput("unknown command '" + c + "': expected example, run SCRIPT, inspect FILE or --help");
}
