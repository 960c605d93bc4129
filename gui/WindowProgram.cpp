#include "gui/WindowProgram.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>

namespace portvale {

std::vector<std::filesystem::path> WindowProgramPlaces(const std::filesystem::path& self) {
    const std::filesystem::path folder = self.parent_path();
    return {folder / PORTVALE_WINDOW_PROGRAM,
            (folder / PORTVALE_WINDOW_FROM_BINDIR / PORTVALE_WINDOW_PROGRAM).lexically_normal()};
}

int ExecWindowProgram(char** argv) {
    // The program's own file, whatever link or PATH entry started it.
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    std::string tried;
    if (!error) {
        for (const std::filesystem::path& place : WindowProgramPlaces(self)) {
            if (::access(place.c_str(), X_OK) != 0) {
                tried += (tried.empty() ? "" : ", ") + place.string();
                continue;
            }
            ::execv(place.c_str(), argv);
            std::fprintf(stderr, "portvale: cannot start the window program %s: %s\n", place.c_str(),
                         std::strerror(errno));
            return 1;
        }
    } else {
        tried = "/proc/self/exe: " + error.message();
    }
    std::fprintf(stderr,
                 "portvale: the window program %s is not installed (looked for %s). "
                 "'portvale --headless' runs without it.\n",
                 PORTVALE_WINDOW_PROGRAM, tried.c_str());
    return 1;
}

}  // namespace portvale
