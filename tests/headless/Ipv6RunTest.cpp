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
        test::ProgramRun run;
        const bool server = std::string(mode) == "server";
        test::PosixListener listener(AF_INET6);  // used by the client mode only
        if (server) {
            ASSERT_TRUE(run.StartServer()) << run.program->Err();
        } else {
            run.StartClient("::1", listener.Port());
        }
        Program& program = *run.program;
        const std::uint16_t port = server ? run.port : listener.Port();
        int peer = -1;
        if (server) {
            peer = test::ConnectPosix(port, AF_INET6);
            ASSERT_TRUE(program.ErrContains("Client Connected")) << program.Err();
        } else {
            ASSERT_TRUE(program.ErrContains("Connecting to [::1]:" + std::to_string(port))) << program.Err();
            ASSERT_TRUE(program.ErrContains("Connected to Server")) << program.Err();
            peer = listener.Accept();
        }
        ASSERT_GE(peer, 0);
        test::SendAllPosix(peer, "over six");
        EXPECT_EQ(run.pty.Receive(8), "over six");
        run.pty.Send(std::string("\0\xff back", 7));
        EXPECT_EQ(test::ReadExactPosix(peer, 7), std::string("\0\xff back", 7));
        program.Signal(SIGTERM);
        EXPECT_EQ(program.Wait(), 0) << program.Err();
        ::close(peer);
    }
}

}  // namespace
}  // namespace portvale

#endif  // PORTVALE_BINARY
