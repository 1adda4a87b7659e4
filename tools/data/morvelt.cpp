// morvelt: the operators' data tool. It reads and changes a server's data file with the
// plug-in's own store built in, and needs nothing installed: it is a static i386 program.
// This file is the command line; each command lives in a file of its own.
//
//   morvelt inspect psdata/morvelt.ini --vars gold score      what the plug-in makes of the file
//   morvelt top psdata/morvelt.ini --vars gold score --by score
//   morvelt export psdata/morvelt.ini --vars gold score --format json
//   morvelt edit psdata/morvelt.ini --vars gold score -- set EIB score 12 drop 1002
//   morvelt undo psdata/morvelt.ini                             puts back the file as it was
#include <stdio.h>
#include <string.h>

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "tools/common/clock_text.h"
#include "tools/common/command_line.h"
#include "tools/data/datafile_report.h"
#include "tools/data/edit.h"
#include "tools/data/export.h"
#include "tools/data/top.h"

namespace {

using namespace simtool;

constexpr int kOk = 0;
constexpr int kBadInput = 2;

const char kDescription[] =
    "Reads and changes the Morvelt plug-in's data file with the plug-in's own code built in.\n"
    "Each command has its own --help with examples.";

const char kMainFooter[] =
    "Exit status: 0 when the command did its work; 1 when edit or undo was refused (a host runs on\n"
    "the folder) or could not write the file; 2 on bad input (an argument, a missing file, an unknown\n"
    "key or variable), when nothing was changed; 3 when standard output could not be written\n"
    "(a full disk, say): the output is cut short.\n"
    "\n"
    "Examples:\n"
    "  ./morvelt inspect psdata/morvelt.ini --vars gold lives score --now 2026-01-03\n"
    "  ./morvelt top psdata/morvelt.ini --vars gold lives score --by score --count 3\n"
    "  ./morvelt export psdata/morvelt.ini --vars gold lives score --format json\n"
    "  ./morvelt edit psdata/morvelt.ini --vars gold lives score -- set EIB score 12\n"
    "  ./morvelt undo psdata/morvelt.ini            puts back the file as it was before that edit\n"
    "  ./morvelt edit --help                        a command's options and examples\n";

const char kVarsHelp[] = "required: the plug-in's arguments after its own name, in the host's order";
const char kNowHelp[] = "the present time (2026-01-01, \"2026-01-01 12:00:00\" UTC); default: the clock";

// What the command line asks for.
struct Options {
    std::string file;
    std::vector<std::string> variables;
    std::string now;
    std::string by;
    int count = 10;
    std::string format = "csv";
    bool dryRun = false;
    bool force = false;
    std::vector<std::string> actions;  // edit: the words after "--"
    bool actionsGiven = false;         // "--" was on the command line
    int copy = 0;                      // undo: which kept copy to put back
    std::string program;               // the tool as run (argv[0])
};

int badInput(const std::string& message) {
    fprintf(stderr, "morvelt: %s\n", message.c_str());
    return kBadInput;
}

// The present time --now names, or the clock's; false when --now is not a time.
bool presentTime(const Options& options, uint64_t* now, std::string* error) {
    *now = realNow();
    if (options.now.empty() || parseDate(options.now, now)) return true;
    *error = "--now " + options.now + ": expected a time such as 2026-01-01 or \"2026-01-01 12:00:00\"";
    return false;
}

// The load that inspect, top and export ask for; false with a message naming the argument at fault.
bool loadRequest(const Options& options, LoadRequest* request, std::string* error) {
    request->file = options.file;
    request->variables = options.variables;
    return presentTime(options, &request->now, error);
}

int inspect(const Options& options, FILE* out) {
    LoadRequest load;
    std::string error;
    if (!loadRequest(options, &load, &error) || !inspectDataFile(load, out, &error)) return badInput(error);
    return kOk;
}

int top(const Options& options, FILE* out) {
    TopRequest request;
    std::string error;
    if (!loadRequest(options, &request.load, &error)) return badInput(error);
    request.by = options.by;
    request.count = static_cast<size_t>(options.count);
    if (!printTop(request, out, &error)) return badInput(error);
    return kOk;
}

int exportFile(const Options& options, FILE* out) {
    ExportRequest request;
    std::string error;
    if (!loadRequest(options, &request.load, &error)) return badInput(error);
    request.format = options.format == "json" ? ExportFormat::kJson : ExportFormat::kCsv;
    if (!exportRecords(request, out, &error)) return badInput(error);
    return kOk;
}

// Runs an edit or an undo; `name` names the command in messages.
CommandOutcome runEditRequest(const EditRequest& request, const char* name, FILE* out) {
    std::string error;
    EditResult result = runEdit(request, out, &error);
    if (result.status == kEditOutputFailed) return {kOutputFailed, "nothing was changed"};
    if (result.status == kEditBadInput) return {badInput(std::string(name) + ": " + error), ""};
    if (result.status != kEditDone) fprintf(stderr, "morvelt: %s: %s\n", name, error.c_str());
    return {result.status, result.written};
}

EditRequest editRequest(const Options& options) {
    EditRequest request;
    request.file = options.file;
    request.variables = options.variables;
    request.dryRun = options.dryRun;
    request.force = options.force;
    request.program = options.program;
    return request;
}

CommandOutcome edit(const Options& options, FILE* out) {
    EditRequest request = editRequest(options);
    std::string error;
    if (!presentTime(options, &request.now, &error)) return {badInput(error), ""};
    if (!parseEditActions(options.actions, &request.actions, &error)) return {badInput("edit: " + error), ""};
    return runEditRequest(request, "edit", out);
}

CommandOutcome undo(const Options& options, FILE* out) {
    EditRequest request = editRequest(options);
    request.now = realNow();
    request.undoCopy = options.copy;
    return runEditRequest(request, "undo", out);
}

// ---- The command line -------------------------------------------------------------------------

// FILE, --vars and --now; --vars is checked after parsing (commandLineFault), to say what it expects.
void addDataFileOptions(CLI::App* command, Options& options, const char* nowHelp = kNowHelp) {
    command->add_option("FILE", options.file, "the data file")->required();
    command->add_option("--vars", options.variables, kVarsHelp)->type_name("NAME")->expected(0, -1);
    command->add_option("--now", options.now, nowHelp)->type_name("WHEN");
}

const char kCommands[] = "inspect, top, export, edit, undo or --help";

// Whether FILE was taken from the end of --vars's names: CLI11 keeps the last name for a missing
// FILE, which would then name a variable as the data file.
bool fileTakenFromVars(const std::vector<std::string>& words, const std::string& file) {
    for (size_t i = 0; i < words.size(); ++i) {
        if (words[i] == file) return false;  // given on its own before --vars
        if (words[i] != "--vars") continue;
        size_t end = i + 1;
        while (end < words.size() && words[end][0] != '-') ++end;
        if (end > i + 1 && words[end - 1] == file) return true;
        i = end - 1;
    }
    return false;
}

// What is wrong with a command line CLI11 accepted, or "" when nothing is.
std::string commandLineFault(const CLI::App& app, const Options& options, const std::vector<std::string>& words) {
    std::vector<CLI::App*> chosen = app.get_subcommands();
    std::vector<std::string> extra = app.remaining(true);
    if (chosen.empty()) {
        if (extra.empty()) return std::string("expected a command: ") + kCommands;
        if (extra[0][0] == '-') return "unknown option '" + extra[0] + "': expected a command: " + kCommands;
        return "unknown command '" + extra[0] + "': expected " + kCommands;
    }
    const std::string& name = chosen[0]->get_name();
    if (!extra.empty())
        return name + ": unexpected argument '" + extra[0] + "' (see ./morvelt " + name + " --help)";
    if (fileTakenFromVars(words, options.file))
        return name + ": expected FILE before --vars ('" + options.file +
               "', the last name after --vars, would be taken for the file): ./morvelt " + name + " FILE --vars NAME...";
    if (name == "edit" && !options.actionsGiven)
        return "edit: expected -- and the actions after it, such as: -- set EIB score 12";
    if (name != "edit" && options.actionsGiven) return name + ": unexpected '--': only edit takes actions";
    if (name == "undo") return "";
    if (chosen[0]->get_option("--vars")->count() == 0)
        return name + ": expected --vars NAME..., the plug-in's variables in the host's order";
    return "";
}

// Parses the command line and runs the command it names, writing to `out`.
CommandOutcome runCommandLine(int argc, char** argv, FILE* out) {
    Options options;
    options.program = argv[0];
    CLI::App app(kDescription, "morvelt");
    bool version = false;
    setUpTool(app, kMainFooter, version);
    app.add_option("--now", options.now, "as each command's --now, given before the command")->type_name("WHEN");

    CLI::App* inspectCommand = addCommand(app, "inspect", "what the plug-in makes of a data file",
        "Reads FILE as the plug-in does at start-up, with the variables named, and prints one row per\n"
        "user, then every line the plug-in ignores or reads otherwise than written. FILE is only read.\n"
        "\n"
        "Examples:\n"
        "  ./morvelt inspect psdata/morvelt.ini --vars gold lives score\n"
        "  ./morvelt inspect morvelt.ini --vars gold lives score --now 2026-01-03\n");
    addDataFileOptions(inspectCommand, options);

    CLI::App* topCommand = addCommand(app, "top", "users ranked by one variable",
        "Reads FILE as the plug-in does and prints the COUNT users with the highest values of VAR,\n"
        "ties in ascending key order: key, key name, value and last change. FILE is only read.\n"
        "\n"
        "Examples:\n"
        "  ./morvelt top psdata/morvelt.ini --vars gold lives score --by score\n"
        "  ./morvelt top psdata/morvelt.ini --vars gold lives score --by gold --count 3\n");
    addDataFileOptions(topCommand, options);
    topCommand->add_option("--by", options.by, "the variable to rank by")->type_name("VAR")->required();
    topCommand->add_option("--count", options.count, "how many users to show (default 10)")
        ->type_name("COUNT")
        ->check(CLI::Range(1, 1000000));

    CLI::App* exportCommand = addCommand(app, "export", "every user, as CSV or JSON",
        "Reads FILE as the plug-in does and writes every user to standard output, in the plug-in's\n"
        "order, the variables in its order too. FILE is only read.\n"
        "  csv:  RFC 4180 with CRLF line ends; a header row key,key_name,stamp,stamp_utc,VARIABLE...\n"
        "  json: an array of {\"key\": 1001, \"key_name\": \"EIB\", \"stamp\": 1767225600, \"stamp_utc\":\n"
        "        \"2026-01-01T00:00:00Z\", \"values\": {\"score\": 12, ...}}; each byte of a name that is\n"
        "        not part of well-formed UTF-8 is written as [HH], its value in hexadecimal\n"
        "The operators' guide describes both column by column (\"Export formats\").\n"
        "\n"
        "Examples:\n"
        "  ./morvelt export psdata/morvelt.ini --vars gold lives score > stats.csv\n"
        "  ./morvelt export psdata/morvelt.ini --vars gold lives score --format json > stats.json\n");
    addDataFileOptions(exportCommand, options);
    exportCommand->add_option("--format", options.format, "csv (the default) or json")
        ->type_name("FORMAT")
        ->check(CLI::IsMember({"csv", "json"}));

    CLI::App* editCommand = addCommand(app, "edit", "safe changes to a stopped server's data file",
        "In full: ./morvelt edit FILE --vars NAME... [--dry-run] [--force] [--now WHEN] -- ACTION...\n"
        "\n"
        "Reads FILE with the plug-in's own code (nothing expires), applies the actions after -- in\n"
        "order, prints what changed, keeps the file as it was as FILE.before-edit and writes it as the\n"
        "plug-in would. Refused (exit 1) while a running host will write the file, and where the\n"
        "plug-in's reader cannot hold the file whole; bad input (an unknown key or variable, a value\n"
        "outside -32768..32767, a stamp of 0) changes nothing (exit 2). Run as root on a folder\n"
        "another user owns, it first becomes that user; on a folder of root's, it refuses (exit 1)\n"
        "where another user can change a folder on the way to the file. Older copies are kept as\n"
        "FILE.before-edit.1 to .9, and the command that undoes the edit is printed (see undo --help).\n"
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
        "  ./morvelt edit psdata/morvelt.ini --vars gold lives score -- set EIB score 12\n"
        "  ./morvelt edit psdata/morvelt.ini --vars gold lives score --dry-run -- drop 1002 reset EIB all\n"
        "  ./morvelt edit psdata/morvelt.ini --vars gold lives score -- rename-var lives health\n"
        "  ./morvelt edit psdata/morvelt.ini --vars gold lives score -- stamp all now\n"
        "      after more than five days down, on a copy of morvelt.ini.bak put back in its place\n");
    addDataFileOptions(editCommand, options, "the time that now stands for (default: the clock)");
    editCommand->add_flag("--dry-run", options.dryRun, "print what would change; write nothing");
    editCommand->add_flag("--force", options.force, "edit even where the folder's or the file's lock cannot be asked for");

    CLI::App* undoCommand = addCommand(app, "undo", "puts back the file as it was before an edit",
        "In full: ./morvelt undo FILE [--copy N] [--dry-run] [--force]\n"
        "\n"
        "Puts the copy that edit kept, FILE.before-edit (or FILE.before-edit.N with --copy N), back in\n"
        "FILE's place, byte for byte, as edit writes: with the same lock, refused (exit 1) while a host\n"
        "runs on the folder, and keeping what it replaces as FILE.before-edit, the older copies one\n"
        "place older. A copy that is a symbolic link is refused. Undoing twice puts the edit back.\n"
        "\n"
        "Examples:\n"
        "  ./morvelt undo psdata/morvelt.ini\n"
        "  ./morvelt undo psdata/morvelt.ini --copy 2      the file as it was three edits ago\n");
    undoCommand->add_option("FILE", options.file, "the data file")->required();
    undoCommand->add_option("--copy", options.copy, "which copy: 0 (the default) for FILE.before-edit, 1 to 9 for older ones")
        ->type_name("N")
        ->check(CLI::Range(0, kKeptCopies - 1));
    undoCommand->add_flag("--dry-run", options.dryRun, "print what would be put back; write nothing");
    undoCommand->add_flag("--force", options.force, "undo even where the folder's or the file's lock cannot be asked for");

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
        fputs(app.help().c_str(), out);
        return {};
    } catch (const CLI::ParseError& e) {
        return {badInput(parseErrorText(app, e)), ""};
    }
    if (version) {
        fprintf(out, "morvelt %s (plug-in v%d.%d Build %d)\n", MORVELT_VERSION, MORVELT_LOG_VERSION_MAJOR,
                MORVELT_LOG_VERSION_MINOR, MORVELT_LOG_VERSION_BUILD);
        return {};
    }
    std::string fault = commandLineFault(app, options, std::vector<std::string>(argv + 1, argv + given));
    if (!fault.empty()) return {badInput(fault), ""};
    if (*inspectCommand) return {inspect(options, out), ""};
    if (*topCommand) return {top(options, out), ""};
    if (*exportCommand) return {exportFile(options, out), ""};
    if (*undoCommand) return undo(options, out);
    return edit(options, out);
}

}  // namespace

int main(int argc, char** argv) { return runChecked("morvelt", "output", argc, argv, runCommandLine); }
