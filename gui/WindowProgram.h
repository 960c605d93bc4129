#pragma once
// Window mode is a program of its own, `portvale-window`, so that `portvale` links no
// Qt: a headless bridge, --help, --version and the display check map only the C and
// C++ runtimes, some 10 MiB less than with Qt, ICU, glib, GL and X11 loaded and
// relocated for nothing. For window mode `portvale` replaces itself with the window
// program (exec): the same process ID, arguments, environment and descriptors, so
// scripts, desktop launchers and a service manager still see one process.

#include <filesystem>
#include <vector>

namespace portvale {

// Where the window program may be, in the order tried, for `portvale` at `self`:
// beside it (the build tree), then the install's private folder, found from the
// folder `portvale` was installed to, so any install prefix works.
std::vector<std::filesystem::path> WindowProgramPlaces(const std::filesystem::path& self);

// Replaces this process with the window program, given `argv` as they are (argv[0]
// too, which Qt takes for the application's name and X11 for the window class).
// Returns only when that fails, with the exit code, after saying why on stderr.
int ExecWindowProgram(char** argv);

}  // namespace portvale
