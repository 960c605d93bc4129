// Opening and closing many sockets leaves no descriptor, watch or window behind.

#include <gtest/gtest.h>

#include "tests/platform/sockets/SocketTestSupport.h"

namespace portvale::test {
namespace {

using namespace portvale::ws;

TEST(Descriptors, NothingRemainsAfterManyConnectsAndRefusals) {
    std::uint16_t port = 0;
    const SOCKET listener = Listener(&port);
    std::uint16_t closedPort = 0;
    const int holder = ClosedPort(&closedPort);
    Dispatcher& dispatcher = Dispatcher::Instance();
    auto window = std::make_unique<NoteWindow>();
    const int descriptors = OpenDescriptorCount();
    const std::size_t watches = dispatcher.WatchCount();
    const std::size_t windows = dispatcher.WindowCount();

    for (int i = 0; i < 100; ++i) {
        const SOCKET client = ws::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(WSAAsyncSelect(client, window->Handle(), kSocketNotify,
                                 FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE),
                  0);
        const sockaddr_in address = Loopback(port);
        ws::connect(client, AsSockaddr(&address), sizeof address);
        ASSERT_TRUE(window->PumpUntilCount(client, FD_CONNECT, 1));
        const SOCKET server = ws::accept(listener, nullptr, nullptr);
        ASSERT_NE(server, INVALID_SOCKET);
        ASSERT_EQ(closesocket(server), 0);
        ASSERT_EQ(closesocket(client), 0);
        window->notes.clear();
    }
    for (int i = 0; i < 100; ++i) {
        const SOCKET client = ws::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(WSAAsyncSelect(client, window->Handle(), kSocketNotify,
                                 FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE),
                  0);
        const sockaddr_in address = Loopback(closedPort);
        ws::connect(client, AsSockaddr(&address), sizeof address);
        ASSERT_TRUE(window->PumpUntilCount(client, FD_CONNECT, 1));
        EXPECT_EQ(window->notes.back().error, WSAECONNREFUSED);
        ASSERT_EQ(closesocket(client), 0);
        window->notes.clear();
    }

    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    EXPECT_EQ(dispatcher.WatchCount(), watches);
    // With no socket selected, the relay window is gone as well.
    EXPECT_EQ(dispatcher.WindowCount(), windows);
    window.reset();
    closesocket(listener);
    ::close(holder);
}

}  // namespace
}  // namespace portvale::test
