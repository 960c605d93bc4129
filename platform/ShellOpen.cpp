#include "platform/ShellOpen.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace portvale {

namespace {
TShellOpener& Current() {
    static TShellOpener opener;
    return opener;
}
}  // namespace

bool XdgOpen(const std::string& target) {
    // A short-lived shell puts xdg-open in the background and exits at once, so the
    // caller reaps it in a moment and the browser's lifetime is not ours to wait for.
    // It looks for xdg-open first: a background command that is not there fails where
    // nobody sees it, and the caller should learn that nothing will open.
    const char* script =
        "command -v xdg-open >/dev/null 2>&1 || exit 127; "
        "xdg-open \"$1\" >/dev/null 2>&1 </dev/null &";
    const char* argv[] = {"/bin/sh", "-c", script, "sh", target.c_str(), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool ShellOpen(const std::string& target) {
    const TShellOpener& opener = Current();
    return opener ? opener(target) : XdgOpen(target);
}

void SetShellOpener(TShellOpener opener) { Current() = std::move(opener); }

}  // namespace portvale
