#include "platform/serial/VirtualDevice.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "platform/serial/TermiosLineSettings.h"
#include "platform/serial/TermiosPort.h"

namespace portvale {

namespace {

// Speeds no program asks for in earnest; see the header for why there are two.
constexpr speed_t kRestingSpeeds[2] = {B50, B75};

bool IsRestingSpeed(speed_t s) { return s == kRestingSpeeds[0] || s == kRestingSpeeds[1]; }

std::runtime_error SystemError(const std::string& path, int err) {
    return std::runtime_error(path + ": " + std::strerror(err));
}

using termios_backend::RetryOnEintr;

bool SameLine(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && ::cfgetispeed(&a) == ::cfgetispeed(&b) &&
           ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

void SetSpeed(termios& t, speed_t speed) {
    ::cfsetospeed(&t, speed);
    ::cfsetispeed(&t, speed);
    // A split input rate left by the program would otherwise survive the put-back.
    t.c_cflag &= ~CIBAUD;
}

struct Registered {
    int masterFd = -1;  // -1 while the device is still being set up
    int statusFd = -1;
};

std::mutex& RegistryMutex() {
    static std::mutex m;
    return m;
}

std::map<std::string, Registered>& Registry() {
    static std::map<std::string, Registered> r;
    return r;
}

void Unregister(const std::string& name) {
    std::lock_guard lock(RegistryMutex());
    Registry().erase(name);
}

// Creates the folders above path that are missing.
void CreateParents(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        // Asked first: a folder we may not write to answers mkdir with EACCES.
        struct stat st{};
        if (::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
        if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) throw SystemError(folder, errno);
    }
}

// Whether linkPath may be replaced: a link into /dev/pts/ whose pty is gone.
bool IsStaleLink(const std::string& linkPath) {
    std::vector<char> target(PATH_MAX);
    const ssize_t n = ::readlink(linkPath.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return false;
    const std::string to(target.data(), static_cast<std::size_t>(n));
    if (to.rfind("/dev/pts/", 0) != 0) return false;
    struct stat st{};
    return ::stat(to.c_str(), &st) != 0 && errno == ENOENT;
}

void CheckLinkPath(const std::string& linkPath) {
    struct stat st{};
    if (::lstat(linkPath.c_str(), &st) != 0) {
        if (errno == ENOENT) return;
        throw SystemError(linkPath, errno);
    }
    if (S_ISLNK(st.st_mode) && IsStaleLink(linkPath)) return;
    throw std::runtime_error(linkPath +
                             ": exists and is not a stale link to a pseudo-terminal; not replaced");
}

// Makes linkPath point at target in one step, so a program never finds it missing
// or half made while a stale link is replaced.
void PlaceLink(const std::string& target, const std::string& linkPath) {
    const std::string temp = linkPath + ".new-" + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (::symlink(target.c_str(), temp.c_str()) != 0) throw SystemError(temp, errno);
    if (::rename(temp.c_str(), linkPath.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        throw SystemError(linkPath, err);
    }
}

gid_t GroupId(const std::string& name, bool& found) {
    group entry{};
    group* result = nullptr;
    std::vector<char> buffer(4096);
    int err;
    while ((err = ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &result)) == ERANGE)
        buffer.resize(buffer.size() * 2);
    found = err == 0 && result != nullptr;
    return found ? result->gr_gid : 0;
}

// "When allowed": an unprivileged owner keeps the system's choice.
void ApplyAccess(int slaveFd, const std::string& slavePath, const VirtualDeviceAccess& access) {
    if (::fchmod(slaveFd, access.mode) != 0 && errno != EPERM) throw SystemError(slavePath, errno);
    if (access.group.empty()) return;
    bool found = false;
    const gid_t gid = GroupId(access.group, found);
    if (!found) {
        // The default names a group most systems have; one without it is no error.
        if (access.group == VirtualDeviceAccess{}.group) return;
        throw std::runtime_error("pty-group: no group named \"" + access.group + "\"");
    }
    if (::fchown(slaveFd, static_cast<uid_t>(-1), gid) != 0 && errno != EPERM)
        throw SystemError(slavePath, errno);
}

}  // namespace

PtyLineSettings PtyLineSettingsFromTermios(const termios& t) {
    PtyLineSettings s;
    const speed_t speed = ::cfgetospeed(&t);
    s.baud = IsRestingSpeed(speed) ? 0 : RateOfSpeedCode(speed);
    s.twoStopBits = (t.c_cflag & CSTOPB) != 0;
    // PARENB never survives on a pty; PARODD and CMSPAR do and tell the rest.
    const bool odd = (t.c_cflag & PARODD) != 0, fixed = (t.c_cflag & CMSPAR) != 0;
    if (odd && fixed)
        s.parity = PtyLineSettings::Parity::Mark;
    else if (fixed)
        s.parity = PtyLineSettings::Parity::Space;
    else if (odd)
        s.parity = PtyLineSettings::Parity::Odd;
    if (t.c_cflag & CRTSCTS)
        s.flow = PtyLineSettings::Flow::Hardware;
    else if (t.c_iflag & (IXON | IXOFF))
        s.flow = PtyLineSettings::Flow::XonXoff;
    return s;
}

VirtualDevice::VirtualDevice(std::string linkPath, VirtualDeviceAccess access)
    : linkPath_(std::move(linkPath)) {
    const std::string name = PortName();
    {
        std::lock_guard lock(RegistryMutex());
        if (!Registry().emplace(name, Registered{}).second)
            throw std::runtime_error(linkPath_ + ": already a virtual device of this process");
    }
    // Nothing below leaks a descriptor or the reservation when it throws.
    auto undo = [&] {
        for (int* fd : {&statusFd_, &slaveFd_, &masterFd_}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
        Unregister(name);
    };
    try {
        masterFd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (masterFd_ < 0) throw SystemError("/dev/ptmx", errno);
        if (::grantpt(masterFd_) != 0 || ::unlockpt(masterFd_) != 0) throw SystemError("/dev/ptmx", errno);
        char path[PATH_MAX];
        if (int err = ::ptsname_r(masterFd_, path, sizeof path)) throw SystemError("/dev/ptmx", err);
        slavePath_ = path;
        slaveFd_ = RetryOnEintr(
            [&] { return ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
        if (slaveFd_ < 0) throw SystemError(slavePath_, errno);

        // Set before packet mode is on, so this first change makes no status packet.
        termios t{};
        if (::tcgetattr(slaveFd_, &t) != 0) throw SystemError(slavePath_, errno);
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_lflag |= EXTPROC;
        SetSpeed(t, kRestingSpeeds[0]);
        nextRestingIsSecond_ = true;
        if (RetryOnEintr([&] { return ::tcsetattr(slaveFd_, TCSANOW, &t); }) != 0)
            throw SystemError(slavePath_, errno);
        int on = 1;
        if (::ioctl(masterFd_, TIOCPKT, &on) != 0) throw SystemError(slavePath_, errno);
        statusFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (statusFd_ < 0) throw SystemError("eventfd", errno);
        ApplyAccess(slaveFd_, slavePath_, access);

        CreateParents(linkPath_);
        CheckLinkPath(linkPath_);
        PlaceLink(slavePath_, linkPath_);
    } catch (...) {
        undo();
        throw;
    }
    std::lock_guard lock(RegistryMutex());
    Registry()[name] = Registered{masterFd_, statusFd_};
}

VirtualDevice::~VirtualDevice() {
    Unregister(PortName());
    // Someone may have put their own link there since; that one stays.
    std::vector<char> target(PATH_MAX);
    const ssize_t n = ::readlink(linkPath_.c_str(), target.data(), target.size());
    if (n > 0 && std::string(target.data(), static_cast<std::size_t>(n)) == slavePath_)
        ::unlink(linkPath_.c_str());
    for (int fd : {statusFd_, slaveFd_, masterFd_}) ::close(fd);
}

std::optional<PtyLineSettings> VirtualDevice::TakeSettingsChange() {
    std::uint64_t count;
    while (::read(statusFd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
    termios t{};
    // The put-back writes the whole termios: one the program made between reading and
    // writing would be lost. So it is read again just before, and a change found
    // there is read once more instead of overwritten (the window left is a few system
    // calls wide).
    for (int attempt = 0;; ++attempt) {
        if (RetryOnEintr([&] { return ::tcgetattr(masterFd_, &t); }) != 0) return std::nullopt;
        if (IsRestingSpeed(::cfgetospeed(&t)) && (t.c_lflag & EXTPROC)) break;
        termios now{};
        if (RetryOnEintr([&] { return ::tcgetattr(masterFd_, &now); }) != 0) return std::nullopt;
        if (!SameLine(now, t) && attempt < 8) continue;
        // Everything else stays as the program set it: it may read its settings back.
        termios back = now;
        SetSpeed(back, kRestingSpeeds[nextRestingIsSecond_ ? 1 : 0]);
        nextRestingIsSecond_ = !nextRestingIsSecond_;
        back.c_lflag |= EXTPROC;
        RetryOnEintr([&] { return ::tcsetattr(masterFd_, TCSANOW, &back); });
        t = now;
        break;
    }
    PtyLineSettings s = PtyLineSettingsFromTermios(t);
    if (s.baud == 0) s.baud = current_.baud;
    if (s == current_) return std::nullopt;
    current_ = s;
    return s;
}

bool FindVirtualDevice(const std::string& portName, int& masterFd, int& statusFd) {
    std::lock_guard lock(RegistryMutex());
    const auto it = Registry().find(portName);
    if (it == Registry().end() || it->second.masterFd < 0) return false;
    masterFd = it->second.masterFd;
    statusFd = it->second.statusFd;
    return true;
}

}  // namespace portvale
