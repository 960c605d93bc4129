#include "platform/serial/VirtualDevice.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>

#include "tests/platform/serial/PtyFixture.h"

namespace portvale::test {
namespace {

using Settings = PtyLineSettings;

// A folder of our own under /tmp, removed with everything in it.
struct Scratch {
    char path[32] = "/tmp/portvale-vdev-XXXXXX";
    Scratch() { EXPECT_NE(::mkdtemp(path), nullptr); }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string operator/(const std::string& name) const { return std::string(path) + "/" + name; }
};

std::string LinkTarget(const std::string& link) {
    std::error_code err;
    return std::filesystem::read_symlink(link, err).string();
}

TEST(VirtualDeviceTest, TakesOnlyWhatIsSafeToReplace) {
    Pty live;
    ASSERT_TRUE(live.ok());
    enum class Put { Nothing, File, Link };
    const struct {
        Put put;
        std::string target;
        bool replaced;
    } cases[] = {
        {Put::Nothing, "", true},  // in a folder still missing
        {Put::Link, "/dev/pts/999999", true},
        {Put::File, "", false},
        {Put::Link, "/etc/hostname", false},
        {Put::Link, live.path(), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        Scratch scratch;
        const std::string link = scratch / "dev/ttyV0";
        if (c.put != Put::Nothing) std::filesystem::create_directory(scratch / "dev");
        if (c.put == Put::File) std::ofstream(link) << "keep";
        if (c.put == Put::Link) std::filesystem::create_symlink(c.target, link);
        try {
            VirtualDevice device(link, {0660, ""});
            EXPECT_TRUE(c.replaced);
            EXPECT_EQ(LinkTarget(link), device.SlavePath());
        } catch (const std::runtime_error& e) {
            EXPECT_FALSE(c.replaced) << e.what();
            EXPECT_NE(std::string(e.what()).find(link), std::string::npos) << e.what();
        }
        std::error_code err;
        if (c.replaced) {  // the device's own link went with it
            EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link, err)));
        } else if (c.put == Put::File) {
            EXPECT_EQ(std::filesystem::file_size(link, err), 4u);
        } else {
            EXPECT_EQ(LinkTarget(link), c.target);
        }
    }
}

TEST(VirtualDeviceTest, KeepsToWhatIsItsOwn) {
    Scratch scratch;
    const std::string link = scratch / "ttyV0";
    {
        VirtualDevice device(link, {0660, ""});
        EXPECT_THROW(VirtualDevice(link, {0660, ""}), std::runtime_error);
        std::filesystem::remove(link);
        std::filesystem::create_symlink("/etc/hostname", link);
    }
    EXPECT_EQ(LinkTarget(link), "/etc/hostname");
    EXPECT_THROW(VirtualDevice(scratch / "ttyV1", {0660, "no-such-group-here"}), std::runtime_error);
}

// A program on the slave setting the line as pyserial does: every field at once.
int Request(int fd, speed_t speed, tcflag_t cflags, tcflag_t iflags = 0, bool extproc = true) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return -1;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | cflags;
    t.c_iflag = (t.c_iflag & ~(IXON | IXOFF)) | iflags;
    if (!extproc) t.c_lflag &= ~EXTPROC;
    ::cfsetospeed(&t, speed);
    ::cfsetispeed(&t, speed);
    return ::tcsetattr(fd, TCSANOW, &t);
}

TEST(VirtualDeviceTest, ReadsTheSettingsAProgramMakes) {
    Scratch scratch;
    VirtualDevice device(scratch / "ttyV0", {0660, ""});
    const int program = ::open(device.LinkPath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(program, 0);
    using P = Settings::Parity;
    using F = Settings::Flow;
    struct Case {
        speed_t speed;
        tcflag_t cflags, iflags;
        bool extproc;
        std::optional<Settings> expected;
    };
    const Case cases[] = {
        {B57600, CSTOPB, 0, true, Settings{57600, true, P::Unstated, F::None}},
        {B115200, PARENB, 0, true, Settings{115200, false, P::Unstated, F::None}},
        // The same 8E1 again would be refused without the resting speed between.
        {B115200, PARENB, 0, true, std::nullopt},
        {B115200, PARENB | PARODD, 0, true, Settings{115200, false, P::Odd, F::None}},
        {B115200, PARENB | PARODD | CMSPAR, 0, true, Settings{115200, false, P::Mark, F::None}},
        {B115200, CRTSCTS, 0, true, Settings{115200, false, P::Unstated, F::Hardware}},
        {B9600, 0, IXON, false, Settings{9600, false, P::Unstated, F::XonXoff}},
        {B9600, CMSPAR, IXON, true, Settings{9600, false, P::Space, F::XonXoff}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "speed " << c.speed << " cflags " << c.cflags);
        ASSERT_EQ(Request(program, c.speed, c.cflags, c.iflags, c.extproc), 0) << std::strerror(errno);
        EXPECT_EQ(device.TakeSettingsChange(), c.expected);
        termios now{};
        ASSERT_EQ(::tcgetattr(program, &now), 0);
        EXPECT_EQ(PtyLineSettingsFromTermios(now).baud, 0u) << "back on a resting speed";
        EXPECT_TRUE(now.c_lflag & EXTPROC);
    }
    ::close(program);
}

TEST(VirtualDeviceTest, BackendCarriesDataAndReportsSettings) {
    Scratch scratch;
    VirtualDevice device(scratch / "ttyV0", {0660, ""});
    TermiosSerialApi api;
    EXPECT_EQ(api.CreateFile("pty:" + scratch / "none"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(api.GetLastError(), static_cast<std::uint32_t>(ENOENT));
    const HANDLE handle = api.CreateFile("\\\\.\\" + device.PortName());
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << api.GetLastError();
    const int program = ::open(device.LinkPath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(program, 0);

    // The line is the program's; with parity checking asked, a 0xFF is still data.
    termios set{}, now{};
    ASSERT_EQ(::tcgetattr(program, &set), 0);
    DCB dcb;
    dcb.BaudRate = 9600;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.Flags |= fDCB_OutxCtsFlow | fDCB_Parity;
    ASSERT_TRUE(api.SetCommState(handle, dcb)) << api.GetLastError();
    EXPECT_TRUE(api.EscapeCommFunction(handle, SETBREAK));
    ASSERT_EQ(::tcgetattr(program, &now), 0);
    EXPECT_EQ(now.c_iflag, set.c_iflag);
    EXPECT_EQ(now.c_cflag, set.c_cflag);
    EXPECT_EQ(now.c_lflag, set.c_lflag);

    const std::string before("\x00\xFF\x00a", 4), after("\xFF\xFF\x00z", 4);
    ASSERT_EQ(::write(program, before.data(), before.size()), 4);
    // A change that also clears EXTPROC still makes its status packet.
    ASSERT_EQ(Request(program, B57600, CSTOPB, 0, false), 0);
    ASSERT_EQ(::write(program, after.data(), after.size()), 4);
    std::string got;
    pollfd status{device.StatusFd(), POLLIN, 0};
    ASSERT_TRUE(WaitUntil([&] {
        char buf[64];
        std::uint32_t n = 0;
        if (api.ReadFile(handle, buf, sizeof buf, &n, nullptr)) got.append(buf, n);
        return got.size() >= 8 && ::poll(&status, 1, 0) == 1;
    })) << got.size();
    EXPECT_EQ(got, before + after);
    EXPECT_EQ(device.TakeSettingsChange(), (Settings{57600, true}));

    // No program on the slave is no hang-up: the next one finds the device as it was.
    ::close(program);
    std::uint32_t n = 0;
    char buf[4];
    EXPECT_TRUE(api.ReadFile(handle, buf, sizeof buf, &n, nullptr)) << api.GetLastError();
    EXPECT_TRUE(api.CloseHandle(handle));
}

}  // namespace
}  // namespace portvale::test
