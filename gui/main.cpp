// `portvale`: the command line, the console front end and the display check, without
// Qt; window mode is handed to the window program (WindowProgram.h).
#include <cstdio>
#include <string>
#include <vector>

#include "gui/CommandLine.h"
#include "gui/DisplayCheck.h"
#include "gui/WindowProgram.h"
#include "headless/Headless.h"

int main(int argc, char** argv) {
    using portvale::CommandLineAction;
    const portvale::CommandLine command = portvale::ReadCommandLine(argc, argv);
    switch (command.action) {
        case CommandLineAction::ShowHelp:
            std::fputs(portvale::HelpText().c_str(), stdout);
            return 0;
        case CommandLineAction::ShowVersion:
            std::fputs(portvale::VersionText().c_str(), stdout);
            return 0;
        case CommandLineAction::Refuse:
            std::fprintf(stderr, "portvale: %s\nTry 'portvale --help' for more information.\n", command.error.c_str());
            return 2;
        case CommandLineAction::RunHeadless:
            // Before any thread starts, so every thread inherits the blocked signals.
            portvale::headless::BlockTerminationSignals();
            return portvale::headless::RunHeadless(std::vector<std::string>(argv + 1, argv + argc));
        case CommandLineAction::Run:
            break;
    }
    const std::string reason = portvale::MissingDisplayReason();
    if (!reason.empty()) {
        std::fprintf(stderr, "portvale: %s\n", reason.c_str());
        return 2;
    }
    return portvale::ExecWindowProgram(argv);
}
