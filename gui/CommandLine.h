#pragma once
// The program's command line, read before anything needs a display: our own
// options answer at once; Qt's own options (-style, -platform, ...) are left to Qt;
// with --headless anywhere, the whole line belongs to the console front end.

#include <string>

namespace portvale {

enum class CommandLineAction { Run, RunHeadless, ShowHelp, ShowVersion, Refuse };

struct CommandLine {
    CommandLineAction action = CommandLineAction::Run;
    // Why the command line is refused, for a Refuse.
    std::string error;
};

CommandLine ReadCommandLine(int argc, const char* const* argv);

// What --help prints.
std::string HelpText();
// What --version prints: "portvale " and the version.
std::string VersionText();

}  // namespace portvale
