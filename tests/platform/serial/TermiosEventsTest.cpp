#include <sys/resource.h>

#include <atomic>
#include <string>

#include "tests/platform/serial/PtyFixture.h"

namespace portvale::test {
namespace {

using namespace std::chrono_literals;

// An overlapped WaitCommEvent.
struct Wait {
    Event done{true, false};
    OVERLAPPED ov;
    std::uint32_t mask = 0xDEAD;
    bool atOnce = false;
    std::uint32_t error = 0;

    Wait(ISerialApi& api, HANDLE h) {
        ov.hEvent = &done;
        atOnce = api.WaitCommEvent(h, &mask, &ov);
        error = api.GetLastError();
    }
    bool Ended(std::uint32_t ms = 10000) { return WaitForSingleObject(done, ms) == WAIT_OBJECT_0; }
    bool Result(ISerialApi& api, HANDLE h) {
        std::uint32_t n = 0;
        const bool ok = api.GetOverlappedResult(h, &ov, &n, false);
        error = api.GetLastError();
        return ok;
    }
};

std::chrono::microseconds CpuTime() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

using EventTest = PtyPortTest;

TEST_F(EventTest, ReceivedDataFiresOncePerArrivalNotForBytesLeftUnread) {
    ASSERT_TRUE(api.SetCommMask(handle, EV_RXCHAR));
    Wait first(api, handle);
    ASSERT_FALSE(first.atOnce);
    ASSERT_EQ(first.error, ERROR_IO_PENDING);
    pty.Send("abc");
    ASSERT_TRUE(first.Ended());
    ASSERT_TRUE(first.Result(api, handle));
    EXPECT_EQ(first.mask, EV_RXCHAR);

    // The bytes stay unread: the next wait must stay pending, and the waiting costs
    // no CPU (an event re-reported for waiting bytes would spin the worker).
    Wait second(api, handle);
    EXPECT_FALSE(second.atOnce);
    const auto cpuBefore = CpuTime();
    const auto wallBefore = TestClock::now();
    EXPECT_FALSE(second.Ended(200));
    const auto cpu = CpuTime() - cpuBefore;
    const auto wall = TestClock::now() - wallBefore;
    EXPECT_LT(cpu * 5, wall) << "waiting used " << cpu.count() << " us of CPU";

    pty.Send("d");
    ASSERT_TRUE(second.Ended());
    EXPECT_TRUE(second.Result(api, handle));
    EXPECT_EQ(second.mask, EV_RXCHAR);
    COMSTAT stat;
    ASSERT_TRUE(api.ClearCommError(handle, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 4u);
}

TEST_F(EventTest, AnEventLoopReceivesAStreamWholeAndStopsCleanly) {
    // The shape of a port's event thread: wait for the device or a stop, then read
    // what the receive event announced.
    ASSERT_TRUE(api.SetCommMask(handle, EV_RXCHAR | EV_TXEMPTY | EV_ERR));
    Event stop(true, false);
    std::string received;
    std::atomic<std::size_t> receivedSize{0};
    std::thread loop([&] {
        Event done(true, true);
        OVERLAPPED ov;
        ov.hEvent = &done;
        std::uint32_t mask = 0;  // written until the last wait has ended
        for (;;) {
            std::uint32_t n = 0;
            api.WaitCommEvent(handle, &mask, &ov);
            if (WaitForMultipleObjects({&stop, &done}, false, INFINITE) != WAIT_OBJECT_0 + 1) break;
            if (!api.GetOverlappedResult(handle, &ov, &n, false) || !(mask & EV_RXCHAR)) continue;
            COMSTAT stat;
            if (!api.ClearCommError(handle, nullptr, &stat)) break;
            std::string chunk(stat.cbInQue, '\0');
            if (!api.ReadFile(handle, chunk.data(), stat.cbInQue, &n, nullptr)) break;
            received.append(chunk, 0, n);
            receivedSize = received.size();
        }
        api.SetCommMask(handle, 0);  // ends the wait still pending
        std::uint32_t n = 0;
        api.GetOverlappedResult(handle, &ov, &n, true);
    });
    std::string sent;
    for (int i = 0; i < 100 * 1024; ++i) sent.push_back(static_cast<char>((i * 31) >> 3));
    for (std::size_t at = 0; at < sent.size(); at += 1000) pty.Send(sent.substr(at, 1000));
    EXPECT_TRUE(WaitUntil([&] { return receivedSize >= sent.size(); }));
    stop.Set();
    loop.join();
    EXPECT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent);
}

TEST_F(EventTest, EventsBetweenWaitsCompleteTheNextWaitAtOnce) {
    ASSERT_TRUE(api.SetCommMask(handle, EV_RXCHAR | EV_RXFLAG));
    DCB dcb;
    dcb.BaudRate = 9600;
    dcb.Flags = fDCB_Binary;
    dcb.EvtChar = '\n';
    ASSERT_TRUE(api.SetCommState(handle, dcb));
    pty.Send("line\n");
    ASSERT_TRUE(WaitForInput(5));
    Wait w(api, handle);
    EXPECT_TRUE(w.atOnce);
    EXPECT_TRUE(w.done.IsSet());
    EXPECT_EQ(w.mask, EV_RXCHAR | EV_RXFLAG);
}

TEST_F(EventTest, ChangingTheMaskEndsAPendingWaitWithNoEvents) {
    ASSERT_TRUE(api.SetCommMask(handle, EV_RXCHAR));
    Wait w(api, handle);
    ASSERT_FALSE(w.atOnce);
    ASSERT_TRUE(api.SetCommMask(handle, 0));
    ASSERT_TRUE(w.Ended());
    EXPECT_TRUE(w.Result(api, handle));
    EXPECT_EQ(w.mask, 0u);
}

TEST_F(EventTest, WaitsThatCannotStartFailAtOnceAndLeaveTheEventReset) {
    Wait noMask(api, handle);
    EXPECT_FALSE(noMask.atOnce);
    EXPECT_EQ(noMask.error, static_cast<std::uint32_t>(EINVAL));
    EXPECT_FALSE(noMask.done.IsSet());

    ASSERT_TRUE(api.SetCommMask(handle, EV_RXCHAR));
    Wait pending(api, handle);
    Wait second(api, handle);
    EXPECT_EQ(second.error, static_cast<std::uint32_t>(EINVAL));
    EXPECT_FALSE(second.done.IsSet());
    ASSERT_TRUE(api.SetCommMask(handle, 0));  // the record must not outlive its wait
    EXPECT_TRUE(pending.Ended());
}

TEST_F(EventTest, DrainedOutputRaisesTxEmpty) {
    ASSERT_TRUE(api.SetCommMask(handle, EV_TXEMPTY));
    Wait w(api, handle);
    ASSERT_FALSE(w.atOnce);
    std::uint32_t written = 0;
    ASSERT_TRUE(api.WriteFile(handle, "out", 3, &written, nullptr));
    ASSERT_TRUE(w.Ended());
    EXPECT_TRUE(w.Result(api, handle));
    EXPECT_EQ(w.mask, EV_TXEMPTY);
    EXPECT_EQ(pty.Receive(3), "out");
}

TEST_F(EventTest, InputPassingEightyPercentOfTheQueueIsReported) {
    ASSERT_TRUE(api.SetupComm(handle, 100, 100));
    ASSERT_TRUE(api.SetCommMask(handle, EV_RX80FULL));
    Wait w(api, handle);
    ASSERT_FALSE(w.atOnce);
    pty.Send(std::string(50, 'a'));
    EXPECT_FALSE(w.Ended(30));
    pty.Send(std::string(40, 'b'));
    ASSERT_TRUE(w.Ended());
    EXPECT_TRUE(w.Result(api, handle));
    EXPECT_EQ(w.mask, EV_RX80FULL);
}

TEST_F(EventTest, HangUpEndsThePendingWaitAsAFailureWithoutSpinning) {
    ASSERT_TRUE(api.SetCommMask(handle, EV_RXCHAR | EV_CTS | EV_TXEMPTY | EV_ERR));
    Wait w(api, handle);
    ASSERT_FALSE(w.atOnce);
    pty.CloseMaster();
    ASSERT_TRUE(w.Ended());
    EXPECT_FALSE(w.Result(api, handle));
    EXPECT_EQ(w.error, static_cast<std::uint32_t>(EIO));

    // Later waits fail at once and signal nothing: a loop around them blocks rather
    // than spins. The worker stays idle too.
    Wait again(api, handle);
    EXPECT_FALSE(again.atOnce);
    EXPECT_EQ(again.error, static_cast<std::uint32_t>(EIO));
    const auto cpuBefore = CpuTime();
    const auto wallBefore = TestClock::now();
    EXPECT_FALSE(again.Ended(200));
    const auto cpu = CpuTime() - cpuBefore;
    EXPECT_LT(cpu * 5, TestClock::now() - wallBefore) << "used " << cpu.count() << " us of CPU";

    std::uint32_t written = 0;
    EXPECT_FALSE(api.WriteFile(handle, "x", 1, &written, nullptr));
    COMSTAT stat;
    EXPECT_TRUE(api.ClearCommError(handle, nullptr, &stat));
    EXPECT_TRUE(api.PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
    EXPECT_TRUE(api.CloseHandle(handle));
    handle = INVALID_HANDLE_VALUE;
}

TEST_F(EventTest, BytesReceivedBeforeAHangUpCanStillBeRead) {
    pty.Send("last words");
    ASSERT_TRUE(WaitForInput(10));
    pty.CloseMaster();
    std::string got(16, '\0');
    std::uint32_t n = 0;
    EXPECT_TRUE(api.ReadFile(handle, got.data(), 16, &n, nullptr));
    EXPECT_EQ(got.substr(0, n), "last words");
    EXPECT_FALSE(api.ReadFile(handle, got.data(), 16, &n, nullptr));
    EXPECT_EQ(api.GetLastError(), static_cast<std::uint32_t>(EIO));
}

TEST_F(EventTest, ClosingTheHandleEndsAPendingWait) {
    ASSERT_TRUE(api.SetCommMask(handle, EV_RXCHAR));
    Wait w(api, handle);
    ASSERT_FALSE(w.atOnce);
    ASSERT_TRUE(api.CloseHandle(handle));
    handle = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(w.Ended());
    EXPECT_FALSE(w.Result(api, handle));
    EXPECT_EQ(w.error, ERROR_OPERATION_ABORTED);
}

}  // namespace
}  // namespace portvale::test
