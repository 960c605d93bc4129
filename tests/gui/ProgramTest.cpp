#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "tests/gui/GuiTestSupport.h"

namespace portvale {
namespace {

struct Outcome {
    int exitCode = -1;
    std::string out, err;
};

std::string Slurp(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The real program, with no display of any kind in its environment.
Outcome RunProgram(const std::string& arguments) {
    test::ScratchWorkingDirectory scratch;
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '" PORTVALE_PROGRAM "' " +
                                arguments + " </dev/null >out 2>err";
    const int status = std::system(command.c_str());
    Outcome outcome;
    if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
    outcome.out = Slurp(scratch.Path() / "out");
    outcome.err = Slurp(scratch.Path() / "err");
    return outcome;
}

TEST(ProgramTest, AnswersItsOwnOptionsWithoutADisplay) {
    struct Row {
        const char* arguments;
        int exitCode;
        std::string out;  // a part of standard output, or all of it when exact
        bool exact;
        std::string err;  // a part of standard error
    };
    const std::vector<Row> rows{
        {"--version", 0, std::string("portvale ") + PORTVALE_VERSION + "\n", true, ""},
        {"--help", 0, "Usage: portvale [OPTION]...", false, ""},
        {"-h", 0, "--version   show the version and exit", false, ""},
        {"-style Fusion --version", 0, std::string("portvale ") + PORTVALE_VERSION + "\n", true, ""},
        {"--help --headless", 0, "Usage: portvale --headless", false, ""},
        {"--frobnicate", 2, "", true, "portvale: unknown option '--frobnicate'"},
        {"stray", 2, "", true, "unexpected argument 'stray'"},
        {"", 2, "", true, "no display available"},
    };
    for (const Row& row : rows) {
        const Outcome outcome = RunProgram(row.arguments);
        EXPECT_EQ(outcome.exitCode, row.exitCode) << row.arguments;
        if (row.exact)
            EXPECT_EQ(outcome.out, row.out) << row.arguments;
        else
            EXPECT_NE(outcome.out.find(row.out), std::string::npos) << row.arguments << ": " << outcome.out;
        if (row.err.empty())
            EXPECT_EQ(outcome.err, "") << row.arguments;
        else
            EXPECT_NE(outcome.err.find(row.err), std::string::npos) << row.arguments << ": " << outcome.err;
    }
}

}  // namespace
}  // namespace portvale
