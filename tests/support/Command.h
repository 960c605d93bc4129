#pragma once
// Running a shell command in a test: its standard output and standard error together,
// and its exit status (-1 when it did not exit normally).

#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <utility>

namespace portvale::test {

inline std::pair<std::string, int> RunCommand(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return {"", -1};
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    const int status = ::pclose(pipe);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

}  // namespace portvale::test
