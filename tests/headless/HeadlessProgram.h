#pragma once
// Running `portvale --headless` and its peers as real processes in tests: the
// program with its output in files, helper processes (socat) in a process group of
// their own, what /proc says about a process, the lines of the service's file, and
// the set-up every run test starts from (ProgramRun).

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/app/FormTestSupport.h"
#include "tests/platform/serial/PtyFixture.h"
#include "tests/sockets/SocketTestSupport.h"

extern char** environ;

namespace portvale::test {

using namespace std::chrono_literals;

inline bool HaveCommand(const std::string& name) {
    return ::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

inline int CountOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// A helper process in a process group of its own, so that stopping it stops what it
// started too; stopped (SIGTERM, then SIGKILL) when the object goes.
class Child {
public:
    Child() = default;
    explicit Child(const std::vector<std::string>& argv, const std::string& output = "/dev/null") { Start(argv, output); }
    ~Child() { Stop(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void Start(const std::vector<std::string>& argv, const std::string& output = "/dev/null") {
        std::vector<std::string> args = argv;
        std::vector<char*> pointers;
        for (std::string& a : args) pointers.push_back(a.data());
        pointers.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&files, 1, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        EXPECT_EQ(posix_spawnp(&pid_, args[0].c_str(), &files, &attributes, pointers.data(), environ), 0);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&files);
    }
    pid_t pid() const { return pid_; }
    void Signal(int signal) const {
        if (pid_ > 0) ::kill(-pid_, signal);
    }
    // SIGTERM to the group and a wait; SIGKILL when it does not end within the limit.
    void Stop(std::chrono::milliseconds limit = 5s) {
        if (pid_ <= 0) return;
        ::kill(-pid_, SIGCONT);
        ::kill(-pid_, SIGTERM);
        if (!WaitUntil([&] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; }, limit)) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

// The program under test, started with its output in files of the scratch directory.
// `prefix` runs it through another program (`ip netns exec NAME`, for instance).
class Program {
public:
    Program(const std::string& dir, std::vector<std::string> args, std::vector<std::string> prefix = {})
        : dir_(dir) {
        std::vector<std::string> all = prefix;
        all.push_back(PORTVALE_BINARY);
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, (dir + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&files, 2, (dir + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_EQ(posix_spawnp(&pid_, all[0].c_str(), &files, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&files);
    }
    ~Program() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    pid_t pid() const { return pid_; }
    std::string Err() const { return ReadFileBytes(dir_ + "/stderr.txt"); }
    std::string Out() const { return ReadFileBytes(dir_ + "/stdout.txt"); }
    bool ErrContains(const std::string& text, std::chrono::milliseconds limit = 10s) const {
        return ErrCountAtLeast(text, 1, limit);
    }
    // Waits until standard error holds `text` at least `count` times.
    bool ErrCountAtLeast(const std::string& text, int count, std::chrono::milliseconds limit = 10s) const {
        return WaitUntil([&] { return CountOf(Err(), text) >= count || Exited(); }, limit) &&
               CountOf(Err(), text) >= count;
    }
    // The exit code once the process ended within the limit; -1 otherwise.
    int Wait(std::chrono::milliseconds limit = 10s) {
        WaitUntil([&] { return Exited(); }, limit);
        return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    void Signal(int signal) const { ::kill(pid_, signal); }

    // The counters, asked for with SIGUSR1: key to value, empty when no line came.
    std::map<std::string, std::uint64_t> Counters(std::chrono::milliseconds limit = 10s) const {
        const int before = CountOf(Err(), "Counters: ");
        Signal(SIGUSR1);
        if (!ErrCountAtLeast("Counters: ", before + 1, limit)) return {};
        return LastCounters();
    }
    // The last counters line printed (at the end, for instance).
    std::map<std::string, std::uint64_t> LastCounters() const {
        const std::string err = Err();
        const auto at = err.rfind("Counters: ");
        std::map<std::string, std::uint64_t> values;
        if (at == std::string::npos) return values;
        std::istringstream pairs(err.substr(at + 10, err.find('\n', at) - at - 10));
        for (std::string pair; pairs >> pair;) {
            const auto eq = pair.find('=');
            if (eq != std::string::npos) values[pair.substr(0, eq)] = std::stoull(pair.substr(eq + 1));
        }
        return values;
    }

private:
    bool Exited() const {
        if (!exited_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
        return exited_;
    }
    std::string dir_;
    pid_t pid_ = -1;
    mutable int status_ = 0;
    mutable bool exited_ = false;
};

// One [[bridge]] table of the service's file: its name and its device, then `lines` as
// they are (Listen(...), Key(...), "clients = 2\n"). The name is line 2, the device
// line 3, `lines` start on line 4.
inline std::string BridgeTable(const std::string& name, const std::string& serial, const std::string& lines = "") {
    return "[[bridge]]\nname = \"" + name + "\"\nserial = \"" + serial + "\"\n" + lines;
}

// A line `key = "value"`.
inline std::string Key(const std::string& key, const std::string& value) { return key + " = \"" + value + "\"\n"; }

// listen = "ADDRESS:PORT", loopback unless told otherwise; an IPv6 address in brackets.
inline std::string Listen(std::uint16_t port, const std::string& address = "127.0.0.1") {
    const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
    return Key("listen", host + ":" + std::to_string(port));
}

// What a run test starts from: a scratch directory of its own, a pseudo-terminal as the
// device, a port, and the program on them, started from the command line or from the
// service's file in the directory.
class ProgramRun {
public:
    ScratchDirectory dir;
    Pty pty;
    const std::string file = dir.File("portvale.toml");
    // Free when made; the one the program listens on after StartServer.
    std::uint16_t port = RefusingPort();
    std::unique_ptr<Program> program;

    // The program with these arguments (run through `prefix`), in place of the last one.
    Program& Start(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {}) {
        program.reset();
        program = std::make_unique<Program>(dir.Path(), args, prefix);
        return *program;
    }

    // `portvale --headless --config FILE` with `text` as the file.
    Program& StartService(const std::string& text, const std::vector<std::string>& prefix = {}) {
        WriteFileBytes(file, text);
        return Start({"--headless", "--config", file}, prefix);
    }

    // `portvale --headless --dir DIR --mode server --port PORT --serial PTY MORE...`;
    // true once it listens. A port given back by RefusingPort may be taken by another
    // process before the program binds it; then another is tried. `started` sees each
    // process as soon as it exists.
    [[nodiscard]] bool StartServer(const std::vector<std::string>& more = {},
                                   const std::vector<std::string>& prefix = {},
                                   const std::function<void(Program&)>& started = {}) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (attempt > 0) port = RefusingPort();
            std::vector<std::string> args{"--headless",         "--dir",    dir.Path(), "--mode", "server", "--port",
                                          std::to_string(port), "--serial", pty.path()};
            args.insert(args.end(), more.begin(), more.end());
            Program& candidate = Start(args, prefix);
            if (started) started(candidate);
            if (candidate.ErrContains("Listening on TCP port " + std::to_string(port))) return true;
            if (candidate.Err().find("Address already in use") == std::string::npos) return false;
        }
        return false;
    }

    // `portvale --headless --dir DIR --mode client --host HOST --port PORT --serial PTY
    // MORE...`, without waiting for anything.
    Program& StartClient(const std::string& host, std::uint16_t to, const std::vector<std::string>& more = {},
                         const std::vector<std::string>& prefix = {}) {
        std::vector<std::string> args{"--headless", "--dir",  dir.Path(),         "--mode",   "client",  "--host",
                                      host,         "--port", std::to_string(to), "--serial", pty.path()};
        args.insert(args.end(), more.begin(), more.end());
        return Start(args, prefix);
    }
};

// What the kernel holds for a process: open descriptors, threads, resident memory.
struct ProcessUse {
    int descriptors = 0;
    int threads = 0;
    long rssKib = 0;
};

inline ProcessUse UseOf(pid_t pid) {
    ProcessUse use;
    const auto count = [](const std::string& path) {
        int n = 0;
        if (DIR* dir = ::opendir(path.c_str())) {
            while (const dirent* entry = ::readdir(dir))
                if (entry->d_name[0] != '.') ++n;
            ::closedir(dir);
        }
        return n;
    };
    use.descriptors = count("/proc/" + std::to_string(pid) + "/fd");
    use.threads = count("/proc/" + std::to_string(pid) + "/task");
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) use.rssKib = std::stol(line.substr(6));
    return use;
}

}  // namespace portvale::test
