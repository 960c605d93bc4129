#include <string>

#include "tests/platform/serial/PtyFixture.h"

namespace portvale::test {
namespace {

using TransferTest = PtyPortTest;
using namespace std::chrono_literals;

// Starts an overlapped read; returns whether it completed at once.
struct Read {
    Event done{true, false};
    OVERLAPPED ov;
    std::string buffer;
    std::uint32_t count = 0;
    bool atOnce = false;
    std::uint32_t error = 0;

    Read(ISerialApi& api, HANDLE h, std::uint32_t n) : buffer(n, '\0') {
        ov.hEvent = &done;
        atOnce = api.ReadFile(h, buffer.data(), n, &count, &ov);
        error = api.GetLastError();
    }
    // Waits for the end and returns the bytes read.
    std::string Finish(ISerialApi& api, HANDLE h, bool expectSuccess = true) {
        EXPECT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
        std::uint32_t n = 0;
        EXPECT_EQ(api.GetOverlappedResult(h, &ov, &n, false), expectSuccess) << api.GetLastError();
        error = api.GetLastError();
        return buffer.substr(0, n);
    }
};

TEST_F(TransferTest, WrittenBytesArriveUnchanged) {
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    std::uint32_t written = 0;
    ASSERT_TRUE(api.WriteFile(handle, all.data(), 256, &written, nullptr));
    EXPECT_EQ(written, 256u);
    EXPECT_EQ(pty.Receive(256), all);
}

TEST_F(TransferTest, LargeBlockIsFinishedByTheWorkerWhileThePeerReads) {
    std::string block(64 * 1024, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    Event done(true, false);
    OVERLAPPED ov;
    ov.hEvent = &done;
    std::uint32_t written = 0;
    const bool atOnce = api.WriteFile(handle, block.data(), static_cast<std::uint32_t>(block.size()),
                                      &written, &ov);
    if (!atOnce) {
        EXPECT_EQ(api.GetLastError(), ERROR_IO_PENDING);
    }
    EXPECT_EQ(pty.Receive(block.size()), block);
    ASSERT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(api.GetOverlappedResult(handle, &ov, &written, false));
    EXPECT_EQ(written, block.size());
}

TEST_F(TransferTest, WriteThatTimesOutSucceedsWithTheCountTaken) {
    SetTimeouts(MAXDWORD, 0, 0, 0, 50);
    // Nobody reads the master: the pty's buffers fill long before a MiB.
    std::string big(1 << 20, 'x');
    std::uint32_t written = 0;
    ASSERT_TRUE(api.WriteFile(handle, big.data(), static_cast<std::uint32_t>(big.size()), &written, nullptr))
        << api.GetLastError();
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    // Exactly what was counted goes out, nothing more.
    EXPECT_EQ(pty.Receive(written).size(), written);
    EXPECT_EQ(pty.Receive(1, 50ms), "");
}

TEST_F(TransferTest, DefaultTimeoutsReturnWhatIsQueuedAtOnce) {
    Read empty(api, handle, 16);
    EXPECT_TRUE(empty.atOnce);
    EXPECT_EQ(empty.count, 0u);
    EXPECT_TRUE(empty.done.IsSet());

    pty.Send("hello");
    ASSERT_TRUE(WaitForInput(5));
    Read some(api, handle, 16);
    EXPECT_TRUE(some.atOnce);
    EXPECT_EQ(some.buffer.substr(0, some.count), "hello");
}

TEST_F(TransferTest, TotalTimeoutReturnsTheDataThatArrivesInTime) {
    SetTimeouts(0, 0, 5000);
    Read r(api, handle, 4);
    ASSERT_FALSE(r.atOnce);
    ASSERT_EQ(r.error, ERROR_IO_PENDING);
    std::uint32_t n = 0;
    EXPECT_FALSE(api.GetOverlappedResult(handle, &r.ov, &n, false));
    EXPECT_EQ(api.GetLastError(), ERROR_IO_INCOMPLETE);
    pty.Send("ab");
    pty.Send("cd");
    EXPECT_EQ(r.Finish(api, handle), "abcd");
}

TEST_F(TransferTest, TotalTimeoutEndsAReadWithWhatCame) {
    SetTimeouts(0, 0, 30);
    const auto start = TestClock::now();
    Read r(api, handle, 4);
    ASSERT_FALSE(r.atOnce);
    EXPECT_EQ(r.Finish(api, handle), "");
    EXPECT_GE(TestClock::now() - start, 25ms);
}

TEST_F(TransferTest, ReadModesEndAsWindowsEndsThem) {
    struct Row {
        const char* what;
        COMMTIMEOUTS timeouts;
    };
    // Each mode must end once the peer's 3 bytes of the 10 asked for are there.
    const Row rows[] = {
        {"first byte returns (MAXDWORD, MAXDWORD, constant)", {MAXDWORD, MAXDWORD, 5000, 0, 0}},
        {"interval after the last byte", {20, 0, 0, 0, 0}},
        {"interval within a total limit", {20, 10, 5000, 0, 0}},
    };
    for (const auto& row : rows) {
        ASSERT_TRUE(api.SetCommTimeouts(handle, row.timeouts));
        Read r(api, handle, 10);
        ASSERT_FALSE(r.atOnce) << row.what;
        pty.Send("xyz");
        EXPECT_EQ(r.Finish(api, handle), "xyz") << row.what;
    }
}

TEST_F(TransferTest, ReadWithoutTimeoutsWaitsForEveryByte) {
    SetTimeouts(0, 0, 0);
    Read r(api, handle, 6);
    ASSERT_FALSE(r.atOnce);
    pty.Send("abc");
    // Half the bytes must not end it (a slow machine can only make this pass late).
    EXPECT_EQ(WaitForSingleObject(r.done, 50), WAIT_TIMEOUT);
    pty.Send("def");
    EXPECT_EQ(r.Finish(api, handle), "abcdef");
}

TEST_F(TransferTest, PurgeDiscardsUnreadInput) {
    pty.Send("stale bytes");
    ASSERT_TRUE(WaitForInput(11));
    ASSERT_TRUE(api.PurgeComm(handle, PURGE_RXCLEAR));
    COMSTAT stat;
    ASSERT_TRUE(api.ClearCommError(handle, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    Read r(api, handle, 16);
    EXPECT_TRUE(r.atOnce);
    EXPECT_EQ(r.count, 0u);
}

TEST_F(TransferTest, PendingReadsEndOnAbortAndOnClose) {
    SetTimeouts(0, 0, 0);
    Read aborted(api, handle, 4);
    ASSERT_FALSE(aborted.atOnce);
    ASSERT_TRUE(api.PurgeComm(handle, PURGE_RXABORT));
    aborted.Finish(api, handle, false);
    EXPECT_EQ(aborted.error, ERROR_OPERATION_ABORTED);

    Read closed(api, handle, 4);
    ASSERT_FALSE(closed.atOnce);
    ASSERT_TRUE(api.CloseHandle(handle));
    handle = INVALID_HANDLE_VALUE;
    closed.Finish(api, handle, false);
    EXPECT_EQ(closed.error, ERROR_OPERATION_ABORTED);
}

TEST_F(TransferTest, ReceiveOptionsShapeTheBytes) {
    struct Row {
        const char* what;
        std::uint32_t flags;
        std::string sent, expected;
    };
    using namespace std::string_literals;
    const Row rows[] = {
        {"zero bytes discarded", fDCB_Null, "a\0b\0\0c"s, "abc"},
        {"a 0xFF survives error marking", fDCB_Parity, "x\xFF\xFFy"s, "x\xFF\xFFy"s},
        {"plain", 0, "a\0\xFF"s, "a\0\xFF"s},
    };
    for (const auto& row : rows) {
        DCB dcb;
        dcb.BaudRate = 9600;
        dcb.Flags = fDCB_Binary | row.flags;
        ASSERT_TRUE(api.SetCommState(handle, dcb)) << row.what;
        pty.Send(row.sent);
        std::string got;
        ASSERT_TRUE(WaitUntil([&] {
            Read r(api, handle, 64);
            got += r.buffer.substr(0, r.count);
            return got.size() >= row.expected.size();
        })) << row.what;
        EXPECT_EQ(got, row.expected) << row.what;
    }
}

TEST_F(TransferTest, BytesBeyondAFullReceiveQueueAreCountedAndRead) {
    // The receive queue holds 4096 bytes; the rest waits in the kernel's own buffer.
    std::string sent(6000, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i % 251);
    pty.Send(sent);
    ASSERT_TRUE(WaitForInput(6000));
    std::string got(6000, '\0');
    std::uint32_t n = 0;
    ASSERT_TRUE(api.ReadFile(handle, got.data(), 6000, &n, nullptr));
    EXPECT_EQ(n, 6000u);
    EXPECT_EQ(got, sent);
}

TEST_F(TransferTest, PriorityCharacterIsSent) {
    ASSERT_TRUE(api.TransmitCommChar(handle, '!'));
    EXPECT_EQ(pty.Receive(1), "!");
}

TEST_F(TransferTest, QueueCountsShowWhatWaits) {
    pty.Send("12345");
    ASSERT_TRUE(WaitForInput(5));
    std::uint32_t errors = 0xFF;
    COMSTAT stat;
    ASSERT_TRUE(api.ClearCommError(handle, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 5u);
    EXPECT_EQ(stat.cbOutQue, 0u);
    EXPECT_EQ(stat.Flags, 0u);
}

}  // namespace
}  // namespace portvale::test
