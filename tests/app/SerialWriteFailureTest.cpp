// A serial write that fails takes the bytes queued behind it with it: they are
// counted as dropped and the panel says how many. The device is the recording
// double, which can hold a write pending and fail the next.
#include "comport/ComThread.h"
#include "platform/serial/RecordingSerialApi.h"
#include "tests/app/FormTestSupport.h"
#include "tests/sockets/SocketTestSupport.h"

namespace portvale {
namespace {

using test::PumpUntil;

class SerialWriteFailureTest : public test::FormTest {
protected:
    SerialWriteFailureTest() { SetSerialApi(&api); }
    ~SerialWriteFailureTest() override {
        form.reset();
        PumpUntil([] { return TComThread::LiveCount() == 0; });
        SetSerialApi(nullptr);
    }
    RecordingSerialApi api;
    test::ScopedResolver resolver;
};

TEST_F(SerialWriteFailureTest, TheBytesQueuedBehindAFailedWriteAreCountedAndNamed) {
    Start();
    std::size_t dropped = 0;
    form->Bridge().OnDrop = [&](TBridgeDirection direction, const char*, std::size_t n) {
        if (direction == TBridgeDirection::TcpToCom) dropped += n;
    };
    test::PosixListener server;
    PressConnectAsClientOf(test::kKnownHost, server.Port());
    ASSERT_TRUE(PumpUntil([&] { return form->TcpConnected == 1; }));
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);

    api.HoldWrites(true);
    test::SendAllPosix(peer, "first");
    ASSERT_TRUE(PumpUntil([&] { return form->SerialBacklog() == 5; }));
    test::SendAllPosix(peer, "behind it");
    ASSERT_TRUE(PumpUntil([&] { return form->SerialBacklog() == 14; }));
    api.Fail("WriteFile", 5);
    api.CompletePendingWrites();
    ASSERT_TRUE(PumpUntil([&] { return form->SerialBacklog() == 0; }));
    EXPECT_EQ(dropped, 9u);
    EXPECT_NE(Panel(1).find("; 9 bytes for the com port dropped"), std::string::npos) << Panel(1);
    ::close(peer);
}

}  // namespace
}  // namespace portvale
