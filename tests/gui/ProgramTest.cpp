#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
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

// The real program, with no display of any kind in its environment but the
// variables given ("NAME=value ...").
Outcome RunProgram(const std::string& arguments, const std::string& variables = "") {
    test::ScratchWorkingDirectory scratch;
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + variables +
                                " '" PORTVALE_PROGRAM "' " + arguments + " </dev/null >out 2>err";
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

// A display that is named but has no server behind it reads like a missing one:
// one plain line and exit code 2, not Qt's abort with its advice to reinstall.
TEST(ProgramTest, UnreachableDisplayIsRefusedLikeAMissingOne) {
    // A display number nobody serves here, checked rather than assumed.
    if (std::filesystem::exists("/tmp/.X11-unix/X93")) GTEST_SKIP() << "an X server runs on :93";
    for (const char* variables : {"DISPLAY=:93", "DISPLAY=:93 QT_QPA_PLATFORM=xcb"}) {
        const Outcome outcome = RunProgram("", variables);
        EXPECT_EQ(outcome.exitCode, 2) << variables;
        EXPECT_EQ(outcome.err.rfind("portvale: no display available: ", 0), 0u) << outcome.err;
        EXPECT_NE(outcome.err.find("DISPLAY=:93"), std::string::npos) << outcome.err;
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    }
}

}  // namespace
}  // namespace portvale
