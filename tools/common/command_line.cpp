// What both tools' command lines share.
#include "tools/common/command_line.h"

#include <errno.h>
#include <string.h>

#include <vector>

#include "tools/common/output.h"

namespace simtool {

void setUpTool(CLI::App& app, const std::string& footer, bool& version) {
    app.footer(footer);
    app.get_formatter()->column_width(24);
    app.require_subcommand(0, 1);
    app.allow_extras();  // told apart after parsing, in each tool's commandLineFault
    app.fallthrough();
    app.add_flag("--version", version, "the release, and the plug-in's version in its start-up log line");
}

CLI::App* addCommand(CLI::App& app, const char* name, const char* description, const char* examples) {
    CLI::App* command = app.add_subcommand(name, description);
    command->footer(examples);
    command->get_formatter()->column_width(24);
    return command;
}

std::string parseErrorText(const CLI::App& app, const CLI::ParseError& e) {
    std::vector<CLI::App*> chosen = app.get_subcommands();
    std::string what = e.what();
    return chosen.empty() ? what : chosen[0]->get_name() + ": " + what;
}

int runChecked(const char* program, const char* what, int argc, char** argv,
               CommandOutcome (*run)(int argc, char** argv, FILE* out)) {
    FILE* out = openCheckedOutput();
    if (out == nullptr) {
        fprintf(stderr, "%s: standard output: %s\n", program, strerror(errno));
        return kOutputFailed;
    }
    CommandOutcome outcome = run(argc, argv, out);
    int failed = closeCheckedOutput();
    if (failed == 0) return outcome.status;
    fprintf(stderr, "%s: standard output: %s: the %s is cut short%s%s\n", program, strerror(failed), what,
            outcome.written.empty() ? "" : "; ", outcome.written.c_str());
    return kOutputFailed;
}

}  // namespace simtool
