// morvelt-sim: the host simulator as a command-line tool, and the operators' commands on a data
// file. It loads the real plug-in library, plays the chat server for it (rooms, spots, users,
// messages, the clock and its timer events) in a folder of its own, and reports what the plug-in
// did. This file is the command line; each command lives in a file of its own.
//
//   morvelt-sim example                       the bundled story, as a transcript
//   morvelt-sim --version                     the release it belongs to
//   morvelt-sim run session.script            replays a session script, checking its expectations
//   morvelt-sim inspect morvelt.ini --vars gold score
//                                              what the plug-in makes of a data file
//   morvelt-sim top morvelt.ini --vars gold score --by score
//   morvelt-sim export morvelt.ini --vars gold score --format json
//   morvelt-sim edit morvelt.ini --vars gold score -- set EIB score 12 drop 1002
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
#include "tools/data/datafile_report.h"
#include "tools/data/edit.h"
#include "tools/data/export.h"
#include "tools/common/run_folder.h"
#include "tools/sim/script.h"
#include "tools/sim/session.h"
#include "tools/data/top.h"

namespace {

using namespace simtool;

constexpr int kOk = 0;
constexpr int kExpectationFailed = 1;
constexpr int kBadInput = 2;

const char kDescription[] =
    "Runs the Morvelt plug-in in a simulated chat server, as the server would, and tells what it did;\n"
    "reads data files through it for operators. Each command has its own --help with examples.";

const char kMainFooter[] =
    "Exit status: 0 when everything held, 1 when an expectation failed, 2 on bad input (a script\n"
    "line, an unknown room, user or spot, a missing file, a library that does not load).\n"
    "\n"
    "Examples:\n"
    "  morvelt-sim example\n"
    "  morvelt-sim run my-room.script\n"
    "  morvelt-sim --dir try run my-room.script      keeps try/psdata/morvelt.ini to look at\n"
    "  morvelt-sim inspect psdata/morvelt.ini --vars gold lives score --now 2026-01-03\n"
    "  morvelt-sim top psdata/morvelt.ini --vars gold lives score --by score --count 3\n"
    "  morvelt-sim export psdata/morvelt.ini --vars gold lives score --format json\n"
    "  morvelt-sim edit psdata/morvelt.ini --vars gold lives score -- set EIB score 12\n"
    "  morvelt-sim run --help                        a command's options and examples\n"
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

const char kVarsHelp[] = "required: the plug-in's arguments after its own name, in the host's order";
const char kNowHelp[] = "the present time (2026-01-01, \"2026-01-01 12:00:00\" UTC); default: the clock";

// What the command line asks for.
struct Options {
    std::string plugin;  // "" for the one beside the tool
    std::string dir;
    std::string file;  // run: the script; inspect, top, export: the data file
    std::vector<std::string> variables;
    std::string now;
    std::string by;
    int count = 10;
    std::string format = "csv";
    bool dryRun = false;
    bool force = false;
    std::vector<std::string> actions;  // edit: the words after "--"
    bool actionsGiven = false;         // "--" was on the command line
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
int replay(const Script& script, const std::string& title, const Options& options) {
    std::string error, plugin;
    if (!pluginPath(options.plugin, &plugin, &error)) return badInput(error);

    RunFolder folder;     // made first, left last: the plug-in's shutdown writes only there
    hostsim::Host host;
    if (!host.load(plugin, &error))
        return badInput("--plugin " + plugin + ": expected a library with the plug-in's entry points and globals: " +
                        error);
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

// The load that inspect, top and export ask for; false with a message naming the argument at fault.
bool pluginLoadRequest(const Options& options, PluginLoadRequest* request, std::string* error) {
    request->file = options.file;
    request->variables = options.variables;
    request->now = realNow();
    if (!options.now.empty() && !parseDate(options.now, &request->now)) {
        *error = "--now " + options.now + ": expected a time such as 2026-01-01 or \"2026-01-01 12:00:00\"";
        return false;
    }
    return pluginPath(options.plugin, &request->plugin, error);
}

int inspect(const Options& options) {
    PluginLoadRequest load;
    std::string error;
    if (!pluginLoadRequest(options, &load, &error)) return badInput(error);
    if (!inspectDataFile(load, stdout, &error)) return badInput(error);
    return kOk;
}

int top(const Options& options) {
    TopRequest request;
    std::string error;
    if (!pluginLoadRequest(options, &request.load, &error)) return badInput(error);
    request.by = options.by;
    request.count = static_cast<size_t>(options.count);
    if (!printTop(request, stdout, &error)) return badInput(error);
    return kOk;
}

int exportFile(const Options& options) {
    ExportRequest request;
    std::string error;
    if (!pluginLoadRequest(options, &request.load, &error)) return badInput(error);
    request.format = options.format == "json" ? ExportFormat::kJson : ExportFormat::kCsv;
    if (!exportRecords(request, stdout, &error)) return badInput(error);
    return kOk;
}

int edit(const Options& options) {
    EditRequest request;
    request.file = options.file;
    request.variables = options.variables;
    request.dryRun = options.dryRun;
    request.force = options.force;
    request.now = realNow();
    if (!options.now.empty() && !parseDate(options.now, &request.now))
        return badInput("--now " + options.now + ": expected a time such as 2026-01-01 or \"2026-01-01 12:00:00\"");
    std::string error;
    if (!parseEditActions(options.actions, &request.actions, &error)) return badInput("edit: " + error);
    int status = runEdit(request, stdout, &error);
    if (status == kEditBadInput) return badInput("edit: " + error);
    if (status == kEditNotDone) fprintf(stderr, "morvelt-sim: edit: %s\n", error.c_str());
    return status;
}

// ---- The command line -------------------------------------------------------------------------

CLI::App* addCommand(CLI::App& app, const char* name, const char* description, const char* examples) {
    CLI::App* command = app.add_subcommand(name, description);
    command->footer(examples);
    command->get_formatter()->column_width(24);
    return command;
}

// FILE and --vars; --vars is checked after parsing (checkVars), to say what it expects.
void addDataFileOptions(CLI::App* command, Options& options) {
    command->add_option("FILE", options.file, "the data file")->required();
    command->add_option("--vars", options.variables, kVarsHelp)->type_name("NAME")->expected(0, -1);
}

// Whether the chosen command, if it takes --vars, was given it.
bool varsGiven(const CLI::App& command) {
    const CLI::Option* vars = command.get_option_no_throw("--vars");
    return vars == nullptr || vars->count() != 0;
}

// Which commands take --dir: the others load the file in a temporary folder.
bool takesDir(const CLI::App& app) { return app.got_subcommand("run") || app.got_subcommand("example"); }

const char kCommands[] = "example, run, inspect, top, export, edit or --help";

// The message for a command line CLI11 refused, naming the command it was meant for.
std::string parseErrorText(const CLI::App& app, const CLI::ParseError& e) {
    std::vector<CLI::App*> chosen = app.get_subcommands();
    std::string what = e.what();
    return chosen.empty() ? what : chosen[0]->get_name() + ": " + what;
}

// What is wrong with a command line CLI11 accepted, or "" when nothing is.
std::string commandLineFault(const CLI::App& app, const Options& options) {
    std::vector<CLI::App*> chosen = app.get_subcommands();
    std::vector<std::string> extra = app.remaining(true);
    if (chosen.empty())
        return extra.empty() ? std::string("expected a command: ") + kCommands
                             : "unknown command '" + extra[0] + "': expected " + kCommands;
    const std::string& name = chosen[0]->get_name();
    if (!extra.empty()) return name + ": unexpected argument '" + extra[0] + "' (see morvelt-sim " + name + " --help)";
    if (name == "edit" && !options.actionsGiven)
        return "edit: expected -- and the actions after it, such as: -- set EIB score 12";
    if (name != "edit" && options.actionsGiven) return name + ": unexpected '--': only edit takes actions";
    if (name == "edit" && app.count("--plugin") != 0)
        return "--plugin: edit reads and writes with the plug-in's code built into the tool, not a library";
    if (!varsGiven(*chosen[0]))
        return name + ": expected --vars NAME..., the plug-in's variables in the host's order";
    if (!options.dir.empty() && !takesDir(app))
        return "--dir " + options.dir + ": only run and example use a folder; " + name +
               " loads the file in a temporary one";
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app(kDescription, "morvelt-sim");
    app.footer(std::string(kMainFooter) + kScriptFormatHelp);
    app.get_formatter()->column_width(24);
    app.require_subcommand(0, 1);
    app.allow_extras();  // told apart after parsing, in commandLineFault
    app.fallthrough();
    bool version = false;
    app.add_flag("--version", version, "the version of the tool and of the plug-in released with it");
    app.add_option("--plugin", options.plugin, "the plug-in to load (default: " MORVELT_PLUGIN_FILE_NAME " beside the tool)")
        ->type_name("LIBRARY");
    app.add_option("--dir", options.dir, "run, example: run in FOLDER and keep it (see run --help)")
        ->type_name("FOLDER");

    CLI::App* example = addCommand(app, "example", "replays the bundled story",
        "A value set on a SetStats- spot goes through the data file and a restart to a GetStats- spot.\n"
        "\n"
        "Examples:\n"
        "  morvelt-sim example\n"
        "  morvelt-sim --dir story example      keeps story/psdata/morvelt.ini to look at\n");
    CLI::App* run = addCommand(app, "run", "replays a session script, checking its expectations",
        "Prints what each event of SCRIPT changed and whether each expectation held (the script format\n"
        "is in morvelt-sim --help). --dir FOLDER runs in FOLDER (made if missing, kept afterwards; it\n"
        "must hold no psdata/morvelt.ini) instead of a temporary folder removed at the end.\n"
        "\n"
        "Examples:\n"
        "  morvelt-sim run my-room.script\n"
        "  morvelt-sim --dir try run my-room.script      keeps try/psdata/morvelt.ini to look at\n");
    run->add_option("SCRIPT", options.file, "the session script")->required();

    CLI::App* inspectCommand = addCommand(app, "inspect", "what the plug-in makes of a data file",
        "Loads FILE through the plug-in with the variables named and prints one row per user, then\n"
        "every line the plug-in ignores or reads otherwise than written. FILE is only read.\n"
        "\n"
        "Examples:\n"
        "  morvelt-sim inspect psdata/morvelt.ini --vars gold lives score\n"
        "  morvelt-sim inspect morvelt.ini --vars gold lives score --now 2026-01-03\n");
    addDataFileOptions(inspectCommand, options);
    inspectCommand->add_option("--now", options.now, kNowHelp)->type_name("WHEN");

    CLI::App* topCommand = addCommand(app, "top", "users ranked by one variable",
        "Loads FILE through the plug-in and prints the COUNT users with the highest values of VAR,\n"
        "ties in ascending key order: key, key name, value and last change. FILE is only read.\n"
        "\n"
        "Examples:\n"
        "  morvelt-sim top psdata/morvelt.ini --vars gold lives score --by score\n"
        "  morvelt-sim top psdata/morvelt.ini --vars gold lives score --by gold --count 3\n");
    addDataFileOptions(topCommand, options);
    topCommand->add_option("--by", options.by, "the variable to rank by")->type_name("VAR")->required();
    topCommand->add_option("--count", options.count, "how many users to show (default 10)")
        ->type_name("COUNT")
        ->check(CLI::Range(1, 1000000));

    CLI::App* exportCommand = addCommand(app, "export", "every user, as CSV or JSON",
        "Loads FILE through the plug-in and writes every user to standard output, in the plug-in's\n"
        "order, the variables in its order too. FILE is only read.\n"
        "  csv:  RFC 4180 with CRLF line ends; a header row key,key_name,stamp,VARIABLE...\n"
        "  json: an array of {\"key\": 1001, \"key_name\": \"EIB\", \"stamp\": 1136073600,\n"
        "        \"values\": {\"score\": 12, ...}}; bytes of a name that are not UTF-8 become U+FFFD\n"
        "\n"
        "Examples:\n"
        "  morvelt-sim export psdata/morvelt.ini --vars gold lives score > stats.csv\n"
        "  morvelt-sim export psdata/morvelt.ini --vars gold lives score --format json > stats.json\n");
    addDataFileOptions(exportCommand, options);
    exportCommand->add_option("--format", options.format, "csv (the default) or json")
        ->type_name("FORMAT")
        ->check(CLI::IsMember({"csv", "json"}));
    exportCommand->add_option("--now", options.now, kNowHelp)->type_name("WHEN");

    CLI::App* editCommand = addCommand(app, "edit", "safe changes to a stopped server's data file",
        "In full: morvelt-sim edit FILE --vars NAME... [--dry-run] [--force] [--now WHEN] -- ACTION...\n"
        "\n"
        "Reads FILE with the plug-in's own code built into the tool (nothing expires), applies the\n"
        "actions after -- in order, prints what changed, keeps the file as it was as FILE.before-edit\n"
        "and writes it as the plug-in would. Refused (exit 1) while a host runs on the folder; bad\n"
        "input (an unknown key or variable, a value outside -32768..32767) changes nothing (exit 2).\n"
        "\n"
        "Actions (KEY: a user key in decimal or a key name such as EIB):\n"
        "  set KEY VAR VALUE        sets one value\n"
        "  reset KEY VAR|all        sets one value, or all of the user's, to 0\n"
        "  drop KEY                 forgets the user\n"
        "  rename-var OLD NEW       OLD's values become NEW's, in OLD's place in the order\n"
        "  drop-var VAR             forgets the variable in every user's section\n"
        "  stamp KEY|all WHEN       sets the last change: now, a date or seconds since 1970; only\n"
        "                           stamp changes stamps\n"
        "\n"
        "Examples:\n"
        "  morvelt-sim edit psdata/morvelt.ini --vars gold lives score -- set EIB score 12\n"
        "  morvelt-sim edit psdata/morvelt.ini --vars gold lives score --dry-run -- drop 1002 reset EIB all\n"
        "  morvelt-sim edit psdata/morvelt.ini --vars gold lives score -- rename-var lives health\n"
        "  morvelt-sim edit psdata/morvelt.ini --vars gold lives score -- stamp all now\n"
        "      after more than five days down, on a copy of morvelt.ini.bak put back in its place\n");
    addDataFileOptions(editCommand, options);
    editCommand->add_flag("--dry-run", options.dryRun, "print what would change; write nothing");
    editCommand->add_flag("--force", options.force, "edit even where the folder's lock cannot be asked for");
    editCommand->add_option("--now", options.now, "the time that now stands for (default: the clock)")->type_name("WHEN");

    // The words after "--" are edit's actions: a value such as -5 must not read as an option.
    int given = argc;
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], "--") == 0) {
            given = i;
            options.actionsGiven = true;
            options.actions.assign(argv + i + 1, argv + argc);
            break;
        }
    try {
        app.parse(given, argv);
    } catch (const CLI::CallForHelp&) {
        printf("%s", app.help().c_str());
        return kOk;
    } catch (const CLI::ParseError& e) {
        return badInput(parseErrorText(app, e));
    }
    if (version) {
        printf("morvelt-sim %s (plug-in v%d.%d Build %d)\n", MORVELT_VERSION, MORVELT_VERSION_MAJOR,
               MORVELT_VERSION_MINOR, MORVELT_VERSION_BUILD);
        return kOk;
    }
    std::string fault = commandLineFault(app, options);
    if (!fault.empty()) return badInput(fault);
    if (*example) return runExample(options);
    if (*run) return runScript(options.file, options);
    if (*inspectCommand) return inspect(options);
    if (*topCommand) return top(options);
    if (*exportCommand) return exportFile(options);
    if (*editCommand) return edit(options);
    return kBadInput;
}
