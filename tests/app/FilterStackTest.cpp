// A filter stack of two layers on a real bridge: a pseudo-terminal as the device, a
// loopback peer as the client. The layers are the test's own, so what each one did
// shows on the wire: the lower one flips letter case both ways, the upper one greets,
// holds the connection until the peer says "open", and closes it on "bye".
#include <sys/socket.h>

#include <cctype>

#include "app/FilterStack.h"
#include "tests/app/FormTestSupport.h"
#include "tests/platform/serial/PtyFixture.h"
#include "tests/sockets/SocketTestSupport.h"

namespace portvale {
namespace {

using test::PumpUntil;

std::string FlipCase(std::string bytes) {
    for (char& c : bytes) c = static_cast<char>(std::isupper(c) ? std::tolower(c) : std::toupper(c));
    return bytes;
}

class CaseLayer : public TFilter {
public:
    void Opened(TConnectionId) override {}
    void Closed(TConnectionId) override {}
    std::string FromNetwork(TConnectionId, const std::string& bytes) override { return FlipCase(bytes); }
    std::string FromDevice(TConnectionId, const std::string& bytes) override { return FlipCase(bytes); }
};

class GateLayer : public TFilter {
public:
    void Opened(TConnectionId id) override {
        open_[id] = false;
        Site().ToNetwork(id, "hi.");
    }
    void Closed(TConnectionId id) override { open_.erase(id); }
    std::string FromNetwork(TConnectionId id, const std::string& bytes) override {
        if (bytes == "bye") {
            Site().Close(id);
            return {};
        }
        if (bytes != "open") return open_[id] ? bytes : std::string();
        open_[id] = true;
        Site().Ready(id);
        return {};
    }
    std::string FromDevice(TConnectionId, const std::string& bytes) override { return bytes; }
    bool Ready(TConnectionId id) const override { return open_.count(id) && open_.at(id); }
    bool HoldsNewConnections() const override { return true; }

private:
    std::map<TConnectionId, bool> open_;
};

class FilterStackTest : public test::FormTest {
protected:
    FilterStackTest() {
        Start();
        form->ComPort1->SetPort(pty.path());
        stack = std::make_unique<TFilterStack>(form->Bridge(), TFilterStack::Observers{});
        stack->Push(std::make_unique<CaseLayer>());
        stack->Push(std::make_unique<GateLayer>());
        form->Bridge().Filter = stack.get();
    }
    ~FilterStackTest() override {
        if (peer >= 0) ::close(peer);
        form->Bridge().Filter = nullptr;
        stack.reset();
    }
    std::string Receive(std::size_t count) {
        std::string out;
        PumpUntil([&] {
            char buffer[256];
            const ssize_t n = ::recv(peer, buffer, std::min(sizeof buffer, count - out.size()), MSG_DONTWAIT);
            if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
            return out.size() >= count;
        });
        return out;
    }

    test::Pty pty;
    std::unique_ptr<TFilterStack> stack;
    int peer = -1;
};

TEST_F(FilterStackTest, BytesPassEveryLayerInOrderAndALayerActsThroughTheOnesBelow) {
    const std::uint16_t port = test::RefusingPort();
    form->grpTCPSocketType->SetItemIndex(2);
    form->txbPort->SetText(std::to_string(port));
    Click(form->btnComPortOn);
    Click(form->btnConnect);
    peer = test::ConnectPosix(port);
    ASSERT_GE(peer, 0);
    // The upper layer's greeting went down through the lower one.
    EXPECT_EQ("HI.", Receive(3));
    // No target until the upper layer says it is ready.
    EXPECT_EQ(nullptr, form->Bridge().SerialTarget());
    test::SendAllPosix(peer, "OPEN");
    ASSERT_TRUE(PumpUntil([&] { return form->Bridge().SerialTarget() != nullptr; }));
    pty.Send("from device");
    EXPECT_EQ("FROM DEVICE", Receive(11));
    test::SendAllPosix(peer, "tO dEVICE");
    std::string atDevice;
    PumpUntil([&] {
        atDevice += pty.Receive(9 - atDevice.size(), std::chrono::milliseconds(5));
        return atDevice.size() >= 9;
    });
    EXPECT_EQ("To Device", atDevice);
    test::SendAllPosix(peer, "BYE");
    char byte;
    ASSERT_TRUE(PumpUntil([&] { return ::recv(peer, &byte, 1, MSG_DONTWAIT) == 0; }));
    EXPECT_EQ(0, form->ServerClientConnected);
}

}  // namespace
}  // namespace portvale
