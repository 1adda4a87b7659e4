// morvelt-sim: the room designers' simulator. It loads the real plug-in library, plays the chat
// server for it (rooms, spots, users, messages, the clock and its timer events) in a folder of its
// own, and reports what the plug-in did. The operators' commands on a data file are morvelt's
// (tools/data/). This file is the command line.
//
//   morvelt-sim example                       the bundled story, as a transcript
//   morvelt-sim --version                     the release it belongs to
//   morvelt-sim run session.script            replays a session script, checking its expectations
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "example_script.h"
#include "sim/host.h"
#include "store/data_file.h"
#include "tools/common/clock_text.h"
#include "tools/common/command_line.h"
#include "tools/common/run_folder.h"
#include "tools/sim/script.h"
#include "tools/sim/session.h"

namespace {

using namespace simtool;

constexpr int kOk = 0;
constexpr int kExpectationFailed = 1;
constexpr int kBadInput = 2;

const char kDescription[] =
    "Runs the Morvelt plug-in in a simulated chat server, as the server would, and tells what it did.\n"
    "Each command has its own --help with examples. The operators' data commands (inspect, top,\n"
    "export, edit, undo) are morvelt's.";

const char kMainFooter[] =
    "Exit status: 0 when everything held, 1 when an expectation failed, 2 on bad input (a script\n"
    "line, an unknown room, user or spot, a missing file, a library that does not load), 3 when\n"
    "standard output could not be written (a full disk, say): the transcript is cut short.\n"
    "\n"
    "Examples:\n"
    "  ./morvelt-sim example\n"
    "  ./morvelt-sim run my-room.script\n"
    "  ./morvelt-sim --dir try run my-room.script    keeps try/psdata/morvelt.ini to look at\n"
    "  ./morvelt-sim run --help                      a command's options and examples\n"
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

// What the command line asks for.
struct Options {
    std::string plugin;  // "" for the one beside the tool
    std::string dir;
    std::string file;  // run: the script
};

int badInput(const std::string& message) {
    fprintf(stderr, "morvelt-sim: %s\n", message.c_str());
    return kBadInput;
}

// The folder this program's file lies in, with a trailing slash.
bool toolFolder(std::string* folder, std::string* error) {
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        *error = std::string("cannot find the tool's own folder through /proc/self/exe: ") + strerror(errno) +
                 ": give the plug-in with --plugin LIBRARY";
        return false;
    }
    self[length] = '\0';
    *folder = self;
    folder->erase(folder->rfind('/') + 1);
    return true;
}

// The absolute path of the plug-in library in the tool's own folder, as the release lays it out.
bool pluginBesideTool(std::string* path, std::string* error) {
    std::string folder;
    if (!toolFolder(&folder, error)) return false;
    std::string beside = folder + MORVELT_PLUGIN_FILE_NAME;
    char resolved[PATH_MAX];
    if (realpath(beside.c_str(), resolved) == nullptr) {
        *error = "expected the plug-in library beside the tool, at " + beside +
                 ", but there is no such file: give its path with --plugin LIBRARY";
        return false;
    }
    *path = resolved;
    return true;
}

// The absolute path of the plug-in, `given` or else the one beside the tool; absolute so that a
// reload still finds it from another folder.
bool pluginPath(const std::string& given, std::string* path, std::string* error) {
    if (given.empty()) return pluginBesideTool(path, error);
    char resolved[PATH_MAX];
    if (realpath(given.c_str(), resolved) == nullptr) {
        *error = "--plugin " + given + ": expected a plug-in library, but there is no such file";
        return false;
    }
    *path = resolved;
    return true;
}

// Replays a parsed script; `title` names it in the transcript.
int replay(const Script& script, const std::string& title, const Options& options, FILE* out) {
    std::string error, plugin;
    if (!pluginPath(options.plugin, &plugin, &error)) return badInput(error);

    RunFolder folder;     // made first, left last: the plug-in's shutdown writes only there
    hostsim::Host host;
    if (!host.load(plugin, &error))
        return badInput("--plugin " + plugin + ": expected a library with the plug-in's entry points and globals: " +
                        error);
    if (!folder.enter(options.dir, &error)) return badInput("--dir " + error);
    if (!script.dataFile.empty() && !copyFile(script.dataFile, store::kDataPath, &error)) return badInput(error);

    fprintf(out, "Replaying %s\n", title.c_str());
    fprintf(out, "plug-in: %s\n", plugin.c_str());
    fprintf(out, "folder: %s\n", folder.temporary() ? "a temporary one, removed at the end" : (folder.path() + ", kept").c_str());
    if (!script.dataFile.empty()) fprintf(out, "data file: a copy of %s\n", script.dataFile.c_str());
    fprintf(out, "clock: %s UTC\n\n", formatDate(script.clockSet ? script.clock : host.now()).c_str());

    Session session(script, host, out);
    if (!session.run(&error)) return badInput(error);
    const std::vector<int>& failed = session.failedLines();
    if (session.held() == 0 && failed.empty()) {
        fprintf(out, "\nno expectations\n");
        return kOk;
    }
    fprintf(out, "\nexpectations: %d held, %zu failed", session.held(), failed.size());
    for (size_t i = 0; i < failed.size(); ++i)
        fprintf(out, "%s%d", i != 0 ? ", " : failed.size() == 1 ? " (line " : " (lines ", failed[i]);
    fprintf(out, "%s\n", failed.empty() ? "" : ")");
    return failed.empty() ? kOk : kExpectationFailed;
}

int runScript(const std::string& path, const Options& options, FILE* out) {
    Script script;
    std::string error;
    if (!parseScript(path, &script, &error)) return badInput(error);
    return replay(script, path, options, out);
}

// The example script carried in the tool (the release also ships it as a file, to read and copy).
int runExample(const Options& options, FILE* out) {
    Script script;
    std::string error;
    if (!parseScriptText(kExampleScriptFileName, kExampleScript, &script, &error)) return badInput(error);
    return replay(script, std::string("the bundled example, ") + kExampleScriptFileName, options, out);
}

// ---- The command line -------------------------------------------------------------------------

const char kCommands[] = "example, run or --help";
const char kDataCommands[][8] = {"inspect", "top", "export", "edit", "undo"};

// What to say of `word`, given where a command was expected.
std::string unknownCommand(const std::string& word) {
    for (const char* data : kDataCommands)
        if (word == data)
            return word + " is a command of morvelt, the operators' data tool beside morvelt-sim: ./morvelt " +
                   word + " --help";
    if (word[0] == '-') return "unknown option '" + word + "': expected a command: " + kCommands;
    return "unknown command '" + word + "': expected " + kCommands;
}

// What is wrong with a command line CLI11 accepted, or "" when nothing is.
std::string commandLineFault(const CLI::App& app) {
    std::vector<CLI::App*> chosen = app.get_subcommands();
    std::vector<std::string> extra = app.remaining(true);
    if (chosen.empty()) return extra.empty() ? std::string("expected a command: ") + kCommands : unknownCommand(extra[0]);
    const std::string& name = chosen[0]->get_name();
    if (!extra.empty()) return name + ": unexpected argument '" + extra[0] + "' (see morvelt-sim " + name + " --help)";
    return "";
}

// Parses the command line and runs the command it names, writing to `out`; returns the exit status.
int runCommand(int argc, char** argv, FILE* out) {
    Options options;
    CLI::App app(kDescription, "morvelt-sim");
    bool version = false;
    setUpTool(app, std::string(kMainFooter) + kScriptFormatHelp, version);
    app.add_option("--plugin", options.plugin, "the plug-in to load (default: " MORVELT_PLUGIN_FILE_NAME " beside the tool)")
        ->type_name("LIBRARY");
    app.add_option("--dir", options.dir, "run in FOLDER and keep it (see run --help)")->type_name("FOLDER");

    CLI::App* example = addCommand(app, "example", "replays the bundled story",
        "A value set on a SetStats- spot goes through the data file and a restart to a GetStats- spot.\n"
        "\n"
        "Examples:\n"
        "  ./morvelt-sim example\n"
        "  ./morvelt-sim --dir story example    keeps story/psdata/morvelt.ini to look at\n");
    CLI::App* run = addCommand(app, "run", "replays a session script, checking its expectations",
        "Prints what each event of SCRIPT changed and whether each expectation held (the script format\n"
        "is in morvelt-sim --help). --dir FOLDER runs in FOLDER (made if missing, kept afterwards; it\n"
        "must hold no psdata/morvelt.ini) instead of a temporary folder removed at the end.\n"
        "\n"
        "Examples:\n"
        "  ./morvelt-sim run my-room.script\n"
        "  ./morvelt-sim --dir try run my-room.script    keeps try/psdata/morvelt.ini to look at\n");
    run->add_option("SCRIPT", options.file, "the session script")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        fputs(app.help().c_str(), out);
        return kOk;
    } catch (const CLI::ParseError& e) {
        return badInput(parseErrorText(app, e));
    }
    if (version) {
        fprintf(out, "morvelt-sim %s (plug-in v%d.%d Build %d)\n", MORVELT_VERSION, MORVELT_LOG_VERSION_MAJOR,
                MORVELT_LOG_VERSION_MINOR, MORVELT_LOG_VERSION_BUILD);
        return kOk;
    }
    std::string fault = commandLineFault(app);
    if (!fault.empty()) return badInput(fault);
    if (*example) return runExample(options, out);
    return runScript(options.file, options, out);
}

CommandOutcome runCommandLine(int argc, char** argv, FILE* out) { return {runCommand(argc, argv, out), ""}; }

}  // namespace

int main(int argc, char** argv) { return runChecked("morvelt-sim", "transcript", argc, argv, runCommandLine); }
