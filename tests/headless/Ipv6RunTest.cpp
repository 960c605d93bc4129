// `portvale --headless` bridging over IPv6 on ::1, in both modes.
#include <signal.h>

#include <gtest/gtest.h>

#ifdef PORTVALE_BINARY

#include "tests/headless/HeadlessProgram.h"
#include "tests/sockets/SocketTestSupport.h"

namespace portvale {
namespace {

using namespace std::chrono_literals;
using test::Program;

TEST(Ipv6RunTest, BridgesOverIpv6InBothModes) {
    if (!test::HaveIpv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    for (const char* mode : {"server", "client"}) {
        SCOPED_TRACE(mode);
        test::ScratchDirectory dir;
        test::Pty pty;
        const bool server = std::string(mode) == "server";
        test::PosixListener listener(AF_INET6);  // used by the client mode only
        const std::uint16_t port = server ? test::RefusingPort() : listener.Port();
        std::vector<std::string> arguments = {"--headless", "--dir",  dir.Path(), "--mode", mode,
                                              "--port",     std::to_string(port), "--serial", pty.path()};
        if (!server) arguments.insert(arguments.end(), {"--host", "::1"});
        Program program(dir.Path(), arguments);
        int peer = -1;
        if (server) {
            ASSERT_TRUE(program.ErrContains("Listening on TCP port " + std::to_string(port))) << program.Err();
            peer = test::ConnectPosix(port, AF_INET6);
            ASSERT_TRUE(program.ErrContains("Client Connected")) << program.Err();
        } else {
            ASSERT_TRUE(program.ErrContains("Connecting to [::1]:" + std::to_string(port))) << program.Err();
            ASSERT_TRUE(program.ErrContains("Connected to Server")) << program.Err();
            peer = listener.Accept();
        }
        ASSERT_GE(peer, 0);
        test::SendAllPosix(peer, "over six");
        EXPECT_EQ(pty.Receive(8), "over six");
        pty.Send(std::string("\0\xff back", 7));
        EXPECT_EQ(test::ReadExactPosix(peer, 7), std::string("\0\xff back", 7));
        program.Signal(SIGTERM);
        EXPECT_EQ(program.Wait(), 0) << program.Err();
        ::close(peer);
    }
}

}  // namespace
}  // namespace portvale

#endif  // PORTVALE_BINARY
