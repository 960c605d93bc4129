// The install rules that the Debian package is made from, run into a scratch prefix:
// every file in its place, the program finding its window program and its metrics
// module there, the icons
// at their sizes, the manual page compressed as Debian wants it, and the systemd units
// starting the program, with the service's configuration file, where they were put.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/packaging/PackagingTestSupport.h"

namespace portvale::test {
namespace {

namespace fs = std::filesystem;

// Width and height from a PNG's header, or {0, 0} when it is none.
std::pair<unsigned, unsigned> PngSize(const fs::path& file) {
    const std::string bytes = ReadText(file);
    if (bytes.size() < 24 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || bytes.compare(12, 4, "IHDR") != 0)
        return {0, 0};
    const auto word = [&](std::size_t at) {
        unsigned value = 0;
        for (std::size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
        return value;
    };
    return {word(16), word(20)};
}

class InstallRulesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        prefix_ = new fs::path(fs::temp_directory_path() / ("portvale-install-" + std::to_string(::getpid())));
        fs::remove_all(*prefix_);
        const auto [output, status] = RunCommand(Quoted(PORTVALE_CMAKE) + " --install " + Quoted(PORTVALE_BUILD_DIR) +
                                                 " --prefix " + Quoted(prefix_->string()));
        *installLog_ = output;
        installStatus_ = status;
    }
    static void TearDownTestSuite() {
        fs::remove_all(*prefix_);
        delete prefix_;
    }
    void SetUp() override { ASSERT_EQ(installStatus_, 0) << *installLog_; }

    static fs::path* prefix_;
    static inline std::string* installLog_ = new std::string;
    static inline int installStatus_ = -1;
};
fs::path* InstallRulesTest::prefix_ = nullptr;

TEST_F(InstallRulesTest, PutsEveryFileInItsPlace) {
    const fs::path& p = *prefix_;
    EXPECT_EQ(fs::status(p / "bin/portvale").permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
    for (const char* file : {"share/applications/portvale.desktop", "share/icons/hicolor/scalable/apps/portvale.svg",
                             "share/man/man1/portvale.1.gz", "share/doc/portvale/copyright",
                             "share/doc/portvale/changelog.gz", "share/doc/portvale/README.md"})
        EXPECT_TRUE(fs::is_regular_file(p / file)) << file;
    EXPECT_EQ(ReadText(p / "share/applications/portvale.desktop"), ReadText(kPackagingDir / "portvale.desktop"));
    EXPECT_EQ(ReadText(p / "share/icons/hicolor/scalable/apps/portvale.svg"),
              ReadText(kSourceDir / "gui/icons/portvale.svg"));
    EXPECT_EQ(fs::status(p / "libexec/portvale/portvale-window").permissions() & fs::perms::owner_exec,
              fs::perms::owner_exec);
    // Nothing the tests build is installed with them.
    for (const auto& entry : fs::recursive_directory_iterator(p / "bin"))
        EXPECT_EQ(entry.path().filename(), "portvale");
    for (const auto& entry : fs::recursive_directory_iterator(p / "libexec/portvale"))
        EXPECT_EQ(entry.path().filename(), "portvale-window");
    // A module is read, not run.
    for (const char* module : {"portvale-metrics.so", "portvale-tls.so"})
        EXPECT_EQ(fs::status(p / PORTVALE_MODULE_DIR / module).permissions(),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read)
            << module;
}

// A loopback port nobody listens on.
int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// The installed program loads the metrics module from where it was installed, and
// one copied without it says so and bridges on.
TEST_F(InstallRulesTest, ServesMetricsWithTheModuleWhereItWasInstalled) {
    const fs::path scratch = fs::temp_directory_path() / ("portvale-metrics-" + std::to_string(::getpid()));
    fs::create_directories(scratch / "bin");
    fs::copy_file(*prefix_ / "bin/portvale", scratch / "bin/portvale");
    WriteText(scratch / "portvale.toml", "[service]\nmetrics = \"127.0.0.1:" + std::to_string(FreePort()) +
                                             "\"\n[[bridge]]\nname = \"a\"\nserial = \"" + (scratch / "absent").string() +
                                             "\"\nlisten = \"127.0.0.1:" + std::to_string(FreePort()) + "\"\n");
    // Started, waited for until it said how the metrics go (within 10 s), stopped.
    const auto run = [&](const fs::path& program) {
        const std::string log = Quoted((scratch / "log").string());
        return RunCommand(Quoted(program.string()) + " --headless --config " + Quoted((scratch / "portvale.toml").string()) +
                          " 2>" + log + " & pid=$!; for i in $(seq 200); do grep -q Metrics " + log +
                          " && break; sleep 0.05; done; kill $pid; wait $pid; cat " + log)
            .first;
    };
    const std::string installed = run(*prefix_ / "bin/portvale");
    const std::string alone = run(scratch / "bin/portvale");
    fs::remove_all(scratch);
    EXPECT_NE(installed.find("Metrics on http://127.0.0.1:"), std::string::npos) << installed;
    EXPECT_NE(alone.find("Metrics not served: portvale-metrics.so is not installed (looked for "), std::string::npos)
        << alone;
    EXPECT_NE(alone.find("Stopping on SIGTERM"), std::string::npos) << alone;
}

// The installed program reaches the installed window program: only Qt, in there, can
// find that a named display is unreachable. Without it, the program says what is
// missing.
TEST_F(InstallRulesTest, StartsTheWindowProgramWhereItWasInstalled) {
    if (fs::exists("/tmp/.X11-unix/X93")) GTEST_SKIP() << "an X server runs on :93";
    const std::string environment = "env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:93 ";
    const auto [installed, code] = RunCommand(environment + Quoted((*prefix_ / "bin/portvale").string()));
    EXPECT_EQ(code, 2) << installed;
    EXPECT_NE(installed.find("the display could not be reached (DISPLAY=:93)"), std::string::npos) << installed;

    // Copied without it, as to /usr/local/bin for a service.
    const fs::path alone = fs::temp_directory_path() / ("portvale-alone-" + std::to_string(::getpid()));
    fs::create_directories(alone / "bin");
    fs::copy_file(*prefix_ / "bin/portvale", alone / "bin/portvale");
    const auto [missing, status] = RunCommand(environment + Quoted((alone / "bin/portvale").string()));
    fs::remove_all(alone);
    EXPECT_EQ(status, 1) << missing;
    EXPECT_NE(missing.find("portvale: the window program portvale-window is not installed"), std::string::npos)
        << missing;
}

TEST_F(InstallRulesTest, RendersTheIconAtEveryHicolorSize) {
    if (!HaveCommand("rsvg-convert")) GTEST_SKIP() << "rsvg-convert is not installed (librsvg2-bin)";
    for (const unsigned size : {16u, 22u, 24u, 32u, 48u, 64u, 128u, 256u}) {
        const std::string folder = std::to_string(size) + "x" + std::to_string(size);
        EXPECT_EQ(PngSize(*prefix_ / "share/icons/hicolor" / folder / "apps/portvale.png"), std::make_pair(size, size))
            << folder;
    }
}

TEST_F(InstallRulesTest, CompressesTheManualPageWithoutNameOrTime) {
    const fs::path man = *prefix_ / "share/man/man1/portvale.1.gz";
    const std::string bytes = ReadText(man);
    ASSERT_GE(bytes.size(), 10u);
    EXPECT_EQ(bytes.substr(0, 3), "\x1f\x8b\x08");
    EXPECT_EQ(bytes[3] & 0x08, 0) << "a file name is stored";
    EXPECT_EQ(bytes.substr(4, 4), std::string(4, '\0')) << "a time is stored";
    const auto [text, status] = RunCommand("gzip -dc " + Quoted(man.string()));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(text, ReadText(kPackagingDir / "portvale.1"));
}

// Both units: the template and the service of the configuration file.
TEST_F(InstallRulesTest, StartsTheServiceWithTheProgramWhereItWasInstalled) {
    const std::string program = (*prefix_ / "bin/portvale").string();
    const std::string config = (*prefix_ / "etc/portvale/portvale.toml").string();
    for (const char* name : {"portvale@.service", "portvale.service"}) {
        SCOPED_TRACE(name);
        const fs::path source = kSourceDir / "contrib/systemd" / name;
        const fs::path unit = *prefix_ / "lib/systemd/system" / name;
        if (!fs::exists(source)) {
            EXPECT_FALSE(fs::exists(unit));
            continue;
        }
        const std::string text = ReadText(unit);
        EXPECT_NE(text.find("\nExecStart=" + program + " --headless"), std::string::npos) << text;
        EXPECT_EQ(text.find("/usr/local/bin/portvale"), std::string::npos) << text;
        // Apart from the places of the program and of its configuration file, the unit
        // is the tree's.
        std::string expected = std::regex_replace(ReadText(source), std::regex("/usr/local/bin/portvale"), program);
        expected = std::regex_replace(expected, std::regex("\nExecStart=[^ \n]*portvale"), "\nExecStart=" + program);
        expected = std::regex_replace(expected, std::regex("/etc/portvale/portvale\\.toml"), config);
        EXPECT_EQ(text, expected);
        EXPECT_EQ(fs::status(unit).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    }
}

// Under PREFIX/etc, as an install into a scratch prefix must not write to /etc; the
// Debian package, made with the prefix /usr, has it in /etc/portvale.
TEST_F(InstallRulesTest, PutsTheServiceConfigurationWhereItsUnitReadsIt) {
    const fs::path source = kSourceDir / "contrib/portvale.toml";
    const fs::path config = *prefix_ / "etc/portvale/portvale.toml";
    if (!fs::exists(source)) {
        EXPECT_FALSE(fs::exists(config));
        GTEST_SKIP() << "the tree has no configuration file for the service";
    }
    EXPECT_EQ(ReadText(config), ReadText(source));
    EXPECT_EQ(fs::status(config).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    const std::string unit = ReadText(*prefix_ / "lib/systemd/system/portvale.service");
    EXPECT_NE(unit.find(" --config " + config.string() + "\n"), std::string::npos) << unit;
}

}  // namespace
}  // namespace portvale::test
