// The port on real pseudo-terminals through the termios backend: the test holds the
// master side and plays the peer; the port opens the slave by its path.
#include <dirent.h>
#include <sys/resource.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

#include "tests/comport/ComPortTestSupport.h"
#include "tests/platform/serial/PtyFixture.h"

namespace portvale {
namespace {

using test::PumpUntil;

double ProcessCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Share of one core the process used while the GUI loop ran for about a second.
double CpuShareWhilePumping() {
    const double cpuBefore = ProcessCpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    Dispatcher::Instance().RunFor(std::chrono::milliseconds(1000), nullptr);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    return (ProcessCpuSeconds() - cpuBefore) / wall;
}

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir)) ++count;
        ::closedir(dir);
    }
    return count;
}

// The threads of this process besides the calling one and those `known` already.
std::vector<std::string> OtherThreads(const std::vector<std::string>& known = {}) {
    std::vector<std::string> tids;
    const std::string self = std::to_string(::gettid());
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.' && entry->d_name != self &&
                std::find(known.begin(), known.end(), entry->d_name) == known.end())
                tids.push_back(entry->d_name);
        ::closedir(dir);
    }
    return tids;
}

bool Sleeping(const std::string& tid) {
    std::ifstream stat("/proc/self/task/" + tid + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto end = all.rfind(')');
    return end != std::string::npos && all.size() > end + 2 && all[end + 2] == 'S';
}

// How often a thread has gone to sleep and been woken.
long Wakeups(const std::string& tid) {
    std::ifstream status("/proc/self/task/" + tid + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    return -1;
}

class ComPortOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        SetSerialApi(nullptr);  // the real backend
        if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal available";
        port->SetPort(pty.path());
    }
    void TearDown() override {
        port.reset();
        EXPECT_TRUE(PumpUntil([] { return TComThread::LiveCount() == 0; }));
    }
    bool PumpUntilWaiting(std::int32_t count) {
        return PumpUntil([&] { return port->InputCount() >= count; });
    }

    test::Pty pty;
    test::CallLog log;
    std::unique_ptr<TComPort> port = std::make_unique<TComPort>(nullptr);
};

TEST_F(ComPortOnPty, ASecondOpenOfTheSameDeviceFails) {
    port->Open();
    TComPort second(nullptr);
    second.SetPort(pty.path());
    try {
        second.Open();
        FAIL() << "the device opened twice";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ComCode(), CError_OpenFailed);
        EXPECT_GT(e.SystemCode(), 0);
        EXPECT_EQ(e.Message(), "Unable to open com port (win error code: " + std::to_string(e.SystemCode()) + ")");
    }
    EXPECT_FALSE(second.Connected());
    EXPECT_TRUE(port->Connected());
}

TEST_F(ComPortOnPty, WrittenBytesArriveAtThePeerByteForByte) {
    port->Open();
    std::string all;
    for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
    EXPECT_EQ(port->Write(all.data(), static_cast<std::int32_t>(all.size())), 256);
    EXPECT_EQ(pty.Receive(256), all);
    EXPECT_EQ(port->WriteStr("hello\r\n"), 7);
    EXPECT_EQ(pty.Receive(7), "hello\r\n");
}

TEST_F(ComPortOnPty, ArrivingBytesRaiseOnRxCharOnTheGuiThreadAndStayReadable) {
    std::atomic<std::int32_t> lastCount{0};
    bool onGuiThread = true;
    port->OnRxChar = [&](TObject*, std::int32_t count) {
        onGuiThread = onGuiThread && Dispatcher::Instance().IsGuiThread();
        lastCount = count;
    };
    port->Open();
    pty.Send(std::string("he\0lo", 5));
    ASSERT_TRUE(PumpUntil([&] { return lastCount.load() == 5; }));
    EXPECT_TRUE(onGuiThread);
    std::string text;
    EXPECT_EQ(port->ReadStr(text, 5), 5);
    EXPECT_EQ(text, std::string("he\0lo", 5));
}

TEST_F(ComPortOnPty, WithoutOnRxCharBytesArriveOnceThroughOnRxBuf) {
    std::string received;
    port->SetTriggersOnRxChar(false);
    port->OnRxBuf = [&](TObject*, const char* buffer, std::int32_t count) { received.append(buffer, count); };
    port->OnRxChar = [&](TObject*, std::int32_t) { log.Add("RxChar"); };
    port->Open();
    std::string sent;
    for (int i = 0; i < 2000; ++i) sent.push_back(static_cast<char>(i * 7));
    pty.Send(sent);
    ASSERT_TRUE(PumpUntil([&] { return received.size() >= sent.size(); }));
    EXPECT_EQ(received, sent);
    EXPECT_EQ(port->InputCount(), 0);
    EXPECT_EQ(log.Size(), 0u);
}

TEST_F(ComPortOnPty, ReadWithDefaultTimeoutsReturnsAtOnce) {
    port->Open();
    char buffer[16];
    EXPECT_EQ(port->Read(buffer, 16), 0);
    pty.Send("abcd");
    ASSERT_TRUE(PumpUntilWaiting(4));
    std::string text;
    EXPECT_EQ(port->ReadStr(text, 10), 4);
    EXPECT_EQ(text, "abcd");
}

TEST_F(ComPortOnPty, ClosingDiscardsUnreadInput) {
    port->Open();
    pty.Send("stale");
    ASSERT_TRUE(PumpUntilWaiting(5));
    port->Close();
    port->Open();
    EXPECT_EQ(port->InputCount(), 0);
    pty.Send("new");
    ASSERT_TRUE(PumpUntilWaiting(3));
    std::string text;
    port->ReadStr(text, 10);
    EXPECT_EQ(text, "new");
}

TEST_F(ComPortOnPty, UnreadBytesCostNoCpu) {
    std::atomic<int> events{0};
    port->OnRxChar = [&](TObject*, std::int32_t) { ++events; };
    port->Open();
    pty.Send("left unread");
    ASSERT_TRUE(PumpUntil([&] { return events.load() > 0; }));
    EXPECT_LT(CpuShareWhilePumping(), 0.10);
    EXPECT_EQ(port->InputCount(), 11);
}

TEST_F(ComPortOnPty, HangUpNeitherSpinsNorCrashesAndCloseStillWorks) {
    port->Open();
    pty.CloseMaster();
    // The device wait fails on the hung-up line and the thread ends.
    ASSERT_TRUE(PumpUntil([&] { return port->EventWorker()->Finished(); }));
    EXPECT_LT(CpuShareWhilePumping(), 0.10);
    EXPECT_TRUE(port->Connected());
    EXPECT_NO_THROW(port->Close());
    EXPECT_FALSE(port->Connected());
}

// A pty keeps neither parity nor a byte size below 8; a port set up for either must
// still open on it every time, not only while the device is fresh, and carry bytes.
TEST_F(ComPortOnPty, LineFormatsAPtyCannotCarryOpenEveryTimeAndBytesPassUnchanged) {
    struct Row {
        const char* what;
        TDataBits dataBits;
        TParityBits parity;
        TStopBits stopBits;
        bool check;
    };
    const Row rows[] = {
        {"8 data bits, odd parity", dbEight, prOdd, sbOneStopBit, false},
        {"7 data bits, no parity", dbSeven, prNone, sbOneStopBit, false},
        {"7 data bits, even parity, 2 stop bits", dbSeven, prEven, sbTwoStopBits, false},
        {"8 data bits, mark parity, checked", dbEight, prMark, sbOneStopBit, true},
    };
    std::string all;
    for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
    // One row's checks; a failed assertion ends the row, not the table.
    auto runRow = [&](const Row& row) {
        test::Pty device;
        ASSERT_TRUE(device.ok());
        TComPort p(nullptr);
        p.SetPort(device.path());
        p.SetDataBits(row.dataBits);
        p.Parity().SetBits(row.parity);
        p.Parity().SetCheck(row.check);
        p.SetStopBits(row.stopBits);
        for (int attempt = 1; attempt <= 3; ++attempt) {
            try {
                p.Open();
            } catch (const EComPort& e) {
                ADD_FAILURE() << "open " << attempt << ": " << e.Message();
            }
            ASSERT_TRUE(p.Connected()) << "open " << attempt;
            p.Close();
        }
        ASSERT_NO_THROW(p.Open());
        EXPECT_EQ(p.Write(all.data(), static_cast<std::int32_t>(all.size())), 256);
        EXPECT_EQ(device.Receive(256), all);
        device.Send(all);
        ASSERT_TRUE(PumpUntil([&] { return p.InputCount() >= 256; }));
        std::string received;
        EXPECT_EQ(p.ReadStr(received, 512), 256);
        EXPECT_EQ(received, all);
        p.Close();
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        runRow(row);
    }
}

TEST_F(ComPortOnPty, OpenAndCloseManyTimes) {
    const int descriptors = OpenDescriptors();
    for (int i = 0; i < 200; ++i) {
        port->Open();
        ASSERT_TRUE(port->WorkerRunning());
        port->Close();
    }
    EXPECT_EQ(TComThread::LiveCount(), 0);
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

// Handlers bound for the dispatching thread are served there; the port's one other
// thread sleeps until a write the device cannot take at once.
TEST_F(ComPortOnPty, TheDispatchingThreadServesThePortAndItsWorkerWakesOnlyForWhatMustWait) {
    // ThreadSanitizer's runtime starts a thread of its own with the process's first
    // thread; made to start here, it is not one of the port's.
    std::thread([] {}).join();
    const std::vector<std::string> known = OtherThreads();
    PAsync read = nullptr, write = nullptr;
    InitAsync(read);
    InitAsync(write);
    std::string received;
    std::vector<std::int32_t> readAtOnce;
    std::thread::id handlerThread;
    int txEmpty = 0;
    port->OnRxChar = [&](TObject*, std::int32_t count) {
        handlerThread = std::this_thread::get_id();
        std::string bytes(static_cast<std::size_t>(count), '\0');
        readAtOnce.push_back(port->ReadAsync(bytes.data(), count, read));
        received += bytes.substr(0, static_cast<std::size_t>(port->WaitForAsync(read)));
    };
    port->OnTxEmpty = [&](TObject*) { ++txEmpty; };
    port->Open();
    ASSERT_TRUE(port->EventWorker()->ServedByLoop());
    const std::vector<std::string> threads = OtherThreads(known);
    ASSERT_EQ(threads.size(), 1u);
    const std::string worker = threads[0];
    long wakeups = -1;
    ASSERT_TRUE(test::WaitFor([&] {  // started, and asleep since the last look
        const long before = wakeups;
        wakeups = Wakeups(worker);
        return before == wakeups && Sleeping(worker);
    }));

    pty.Send("ping");
    ASSERT_TRUE(PumpUntil([&] { return received == "ping"; }));
    EXPECT_EQ(handlerThread, std::this_thread::get_id());
    // The bytes were waiting, so every read completed inside its call.
    std::int32_t total = 0;
    for (const auto n : readAtOnce) total += n;
    EXPECT_EQ(total, 4);

    EXPECT_EQ(port->WriteAsync("pong", 4, write), 4);  // taken by the device at once
    EXPECT_TRUE(port->IsAsyncCompleted(write));
    EXPECT_EQ(port->WaitForAsync(write), 4);
    EXPECT_EQ(pty.Receive(4), "pong");
    ASSERT_TRUE(PumpUntil([&] { return txEmpty > 0; }));
    EXPECT_EQ(Wakeups(worker), wakeups);

    // Nobody reads the far end yet: a MiB cannot go at once and waits in the worker.
    const std::string big(1 << 20, 'x');
    port->WriteAsync(big.data(), static_cast<std::int32_t>(big.size()), write);
    EXPECT_FALSE(port->IsAsyncCompleted(write));
    EXPECT_EQ(pty.Receive(big.size()).size(), big.size());
    EXPECT_GT(Wakeups(worker), wakeups);
    EXPECT_EQ(OtherThreads(known), threads);
    ASSERT_TRUE(PumpUntil([&] { return port->IsAsyncCompleted(write); }));
    EXPECT_EQ(port->WaitForAsync(write), static_cast<std::int32_t>(big.size()));
    port->Close();
    DoneAsync(read);
    DoneAsync(write);
}

// Bytes whose events nobody asked for wake the loop with nothing to report: no
// handler runs, and the port goes on serving the events it was asked for.
TEST_F(ComPortOnPty, AWakeUpWithNothingToReportLeavesThePortServing) {
    int flags = 0;
    port->SetEvents(TComEvents{evRxFlag});
    port->SetEventChar('!');
    port->OnRxFlag = [&](TObject*) { ++flags; };
    port->Open();
    pty.Send("abc");
    ASSERT_TRUE(PumpUntil([&] { return port->InputCount() == 3; }));
    Dispatcher::Instance().ProcessPending();  // the arrival's wake-up
    EXPECT_EQ(flags, 0);
    pty.Send("!");
    ASSERT_TRUE(PumpUntil([&] { return flags == 1; }));
    EXPECT_EQ(port->InputCount(), 4);
}

// Only handlers bound for the dispatching thread are served by it; the other methods
// keep their thread, and every one carries the bytes.
TEST_F(ComPortOnPty, EverySyncMethodCarriesTheBytesAndOnlyThreadSyncIsServedByTheLoop) {
    const std::pair<TSyncMethod, bool> rows[] = {{smThreadSync, true}, {smWindowSync, false}, {smNone, false}};
    for (const auto& [method, onLoop] : rows) {
        SCOPED_TRACE(static_cast<int>(method));
        std::atomic<int> got{0};
        port = std::make_unique<TComPort>(nullptr);
        port->SetPort(pty.path());
        port->SetSyncMethod(method);
        port->OnRxChar = [&](TObject*, std::int32_t count) {
            std::string bytes;
            got += port->ReadStr(bytes, count);
        };
        port->Open();
        EXPECT_EQ(port->EventWorker()->ServedByLoop(), onLoop);
        pty.Send("12345");
        EXPECT_TRUE(PumpUntil([&] { return got.load() == 5; }));
        port->Close();
    }
}

}  // namespace
}  // namespace portvale
