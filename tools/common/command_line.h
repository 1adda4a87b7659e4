// What both tools' command lines share: commands with examples in their --help, CLI11's errors
// named after the command, and a run whose standard output is checked to the end.
//
//   int main(int argc, char** argv) { return runChecked("morvelt", "output", argc, argv, runCommandLine); }
#pragma once

#include <stdio.h>

#include <CLI/CLI.hpp>
#include <string>

namespace simtool {

constexpr int kOutputFailed = 3;  // standard output could not be written: the output is cut short

// What a command did: its exit status, and what became of the file it changes, for a failure of
// standard output ("" where it changes none).
struct CommandOutcome {
    int status = 0;
    std::string written;  // "FILE was written; ...", "nothing was changed", or ""
};

// Sets up a tool's top level: `footer` at the end of its --help, at most one command, the
// arguments CLI11 does not know left for the tool to tell apart after parsing, and a --version
// flag that sets `version`.
void setUpTool(CLI::App& app, const std::string& footer, bool& version);

// Adds command `name` to `app`, with `examples` at the end of its --help.
CLI::App* addCommand(CLI::App& app, const char* name, const char* description, const char* examples);

// The message for a command line CLI11 refused, naming the command it was meant for.
std::string parseErrorText(const CLI::App& app, const CLI::ParseError& e);

// Runs `run` with standard output through the checked stream (tools/common/output.h) and returns
// its status; or, where any write, the flush or the close of standard output failed,
// kOutputFailed, after one line on stderr: "PROGRAM: standard output: ERROR: the WHAT is cut
// short", with what became of the file where the command says.
int runChecked(const char* program, const char* what, int argc, char** argv,
               CommandOutcome (*run)(int argc, char** argv, FILE* out));

}  // namespace simtool
