// About a minute of unattended running with both sides failing: `portvale --headless`
// in client mode to a loopback peer that the test drops and starts again three
// times, on a socat pty pair that the test stops and starts again three times behind
// the same link names. Sequence-numbered frames flow both ways the whole time.
//
// What must hold: every frame sent while both sides were up arrives, in order and
// once; no frame ever arrives twice or out of order, also around the failures (where
// frames may be lost, and are counted as dropped by the bridge); and the bridge ends
// the run with no more descriptors or threads than after the first round of
// failures, and at most 2 MiB more resident memory (allocator noise; a leak of one
// block per frame or per failure would be far more).

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#ifdef PORTVALE_BINARY

#include "tests/headless/HeadlessProgram.h"
#include "tests/headless/PortListener.h"
#include "tests/sockets/SocketTestSupport.h"

namespace portvale {
namespace {

using namespace std::chrono_literals;
using test::Child;
using test::Program;
using test::WaitUntil;

// One direction of frames: "G 0000000123 4294967172\n", the mode ('G' sent while both
// sides are up and to arrive for sure, 'B' while something is failing), the sequence
// number, and its complement, so that a frame spliced from two cut ones never passes.
class Flow {
public:
    std::string NextFrame(bool guaranteed) {
        const std::uint32_t seq = next_++;
        if (guaranteed) guaranteedSent_.push_back(seq);
        char frame[32];
        std::snprintf(frame, sizeof frame, "%c %010u %010u\n", guaranteed ? 'G' : 'B', seq, ~seq);
        return frame;
    }
    void Received(const char* data, std::size_t n) {
        partial_.append(data, n);
        std::size_t start = 0;
        for (std::size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1)
            Line(partial_.substr(start, end - start));
        partial_.erase(0, start);
    }
    // A connection or a device went away: what was cut off will not be completed.
    void Cut() { partial_.clear(); }

    std::size_t GuaranteedReceived() const { return guaranteedReceived_; }
    bool AllGuaranteedArrived() const {
        for (const std::uint32_t seq : guaranteedSent_)
            if (seq >= arrived_.size() || !arrived_[seq]) return false;
        return true;
    }
    std::size_t GuaranteedSent() const { return guaranteedSent_.size(); }
    int OutOfOrder() const { return outOfOrder_; }
    int Malformed() const { return malformed_; }
    std::uint32_t Sent() const { return next_ - 1; }

    std::string pendingOut;

private:
    void Line(const std::string& line) {
        char mode = 0;
        unsigned seq = 0, check = 0;
        char tail = 0;
        if (line.size() != 23 || std::sscanf(line.c_str(), "%c %10u %10u%c", &mode, &seq, &check, &tail) != 3 ||
            (mode != 'G' && mode != 'B') || check != ~seq || seq == 0 || seq >= next_) {
            ++malformed_;
            return;
        }
        if (seq <= last_) ++outOfOrder_;  // a duplicate, or a frame overtaken
        last_ = std::max(last_, seq);
        if (arrived_.size() <= seq) arrived_.resize(seq + 1024);
        if (mode == 'G' && !arrived_[seq]) ++guaranteedReceived_;
        arrived_[seq] = true;
    }

    std::uint32_t next_ = 1;
    std::uint32_t last_ = 0;
    std::vector<std::uint32_t> guaranteedSent_;
    std::vector<bool> arrived_;
    std::size_t guaranteedReceived_ = 0;
    int outOfOrder_ = 0;
    int malformed_ = 0;
    std::string partial_;
};

// The test's side of both links, on a thread of its own: the TCP peer (a listener
// and the connection the bridge makes to it) and the device end of the pty pair.
// Frames go out every couple of milliseconds in both directions whenever there is
// somewhere to send them. The test asks for changes; the traffic thread makes them,
// so no descriptor is closed under its feet.
class Traffic {
public:
    explicit Traffic(std::uint16_t port) : port_(port), thread_([this] { Run(); }) {}
    ~Traffic() {
        stop_ = true;
        thread_.join();
        std::lock_guard lock(mutex_);
        CloseConnection();
        listener_.reset();
        if (device_ >= 0) ::close(device_);
    }

    void SetGuaranteed(bool guaranteed) {
        std::lock_guard lock(mutex_);
        guaranteed_ = guaranteed;
    }
    // The peer, listening; false when its port cannot be had.
    bool StartPeer() { return Command([this] { listener_ = std::make_unique<test::PortListener>(port_); return listener_->ok(); }); }
    void DropPeer() {
        Command([this] {
            CloseConnection();
            listener_.reset();
            return true;
        });
    }
    bool OpenDevice(const std::string& path) {
        return Command([this, path] {
            device_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (device_ < 0) return false;
            termios t{};
            ::tcgetattr(device_, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(device_, TCSANOW, &t);
            return true;
        });
    }
    void CloseDevice() {
        Command([this] {
            if (device_ >= 0) ::close(device_);
            device_ = -1;
            toTcp_.Cut();
            toCom_.pendingOut.clear();
            return true;
        });
    }

    int Accepted() {
        std::lock_guard lock(mutex_);
        return accepted_;
    }
    bool Connected() {
        std::lock_guard lock(mutex_);
        return connection_ >= 0;
    }
    // Both ways, every guaranteed frame sent has arrived.
    bool Settled() {
        std::lock_guard lock(mutex_);
        return toCom_.AllGuaranteedArrived() && toTcp_.AllGuaranteedArrived();
    }
    std::size_t LeastGuaranteedReceived() {
        std::lock_guard lock(mutex_);
        return std::min(toCom_.GuaranteedReceived(), toTcp_.GuaranteedReceived());
    }
    // Reads of the results once the traffic is over.
    template <typename F>
    auto Inspect(F f) {
        std::lock_guard lock(mutex_);
        return f(toCom_, toTcp_);
    }

private:
    bool Command(std::function<bool()> change) {
        std::unique_lock lock(mutex_);
        command_ = std::move(change);
        done_ = false;
        changed_.wait(lock, [&] { return done_; });
        return result_;
    }
    void CloseConnection() {
        if (connection_ >= 0) ::close(connection_);
        connection_ = -1;
        toCom_.pendingOut.clear();
        toTcp_.Cut();
        toCom_.Cut();
    }
    static void Flush(int fd, Flow& flow) {
        while (!flow.pendingOut.empty()) {
            const ssize_t n = ::send(fd, flow.pendingOut.data(), flow.pendingOut.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n <= 0) return;
            flow.pendingOut.erase(0, static_cast<std::size_t>(n));
        }
    }
    static bool FlushDevice(int fd, Flow& flow) {
        while (!flow.pendingOut.empty()) {
            const ssize_t n = ::write(fd, flow.pendingOut.data(), flow.pendingOut.size());
            if (n < 0) return errno == EAGAIN || errno == EINTR;
            flow.pendingOut.erase(0, static_cast<std::size_t>(n));
        }
        return true;
    }

    void Run() {
        char buffer[65536];
        auto tick = std::chrono::steady_clock::now();
        while (!stop_) {
            std::vector<pollfd> fds;
            {
                std::lock_guard lock(mutex_);
                if (command_) {
                    result_ = command_();
                    command_ = nullptr;
                    done_ = true;
                    changed_.notify_all();
                }
                if (listener_) fds.push_back({listener_->fd(), POLLIN, 0});
                if (connection_ >= 0) fds.push_back({connection_, POLLIN, 0});
                if (device_ >= 0) fds.push_back({device_, POLLIN, 0});
            }
            ::poll(fds.data(), fds.size(), 2);
            std::lock_guard lock(mutex_);
            if (listener_ && !fds.empty() && fds[0].fd == listener_->fd() && (fds[0].revents & POLLIN)) {
                const int accepted = listener_->Accept(0ms);
                if (accepted >= 0) {
                    CloseConnection();
                    connection_ = accepted;
                    ::fcntl(connection_, F_SETFL, O_NONBLOCK);
                    ++accepted_;
                }
            }
            // Whatever is waiting, read now: a closed connection or a hung-up device shows here.
            while (connection_ >= 0) {
                const ssize_t n = ::recv(connection_, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0) {
                    toTcp_.Received(buffer, static_cast<std::size_t>(n));
                    continue;
                }
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
                CloseConnection();
            }
            while (device_ >= 0) {
                const ssize_t n = ::read(device_, buffer, sizeof buffer);
                if (n > 0) {
                    toCom_.Received(buffer, static_cast<std::size_t>(n));
                    continue;
                }
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
                ::close(device_);  // the pty pair is gone
                device_ = -1;
                toCom_.Cut();
                toTcp_.pendingOut.clear();
            }
            const auto now = std::chrono::steady_clock::now();
            if (now - tick < 2ms) continue;
            tick = now;
            // A few frames per tick each way, while the other side keeps up.
            if (connection_ >= 0) {
                for (int i = 0; i < 8 && toCom_.pendingOut.size() < 2048; ++i) toCom_.pendingOut += toCom_.NextFrame(guaranteed_);
                Flush(connection_, toCom_);
            }
            if (device_ >= 0) {
                for (int i = 0; i < 8 && toTcp_.pendingOut.size() < 2048; ++i) toTcp_.pendingOut += toTcp_.NextFrame(guaranteed_);
                if (!FlushDevice(device_, toTcp_)) toTcp_.pendingOut.clear();
            }
        }
    }

    const std::uint16_t port_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::function<bool()> command_;
    bool done_ = false;
    bool result_ = false;
    std::unique_ptr<test::PortListener> listener_;
    int connection_ = -1;
    int device_ = -1;
    int accepted_ = 0;
    bool guaranteed_ = false;
    Flow toCom_;  // written to the TCP connection, read at the device
    Flow toTcp_;  // written to the device, read from the TCP connection
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class SoakTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::HaveCommand("socat")) GTEST_SKIP() << "socat is not installed";
    }
    // A socat pty pair: the bridge's end at dev, the test's at peer.
    void StartPair() {
        pair.Start({"socat", "pty,rawer,link=" + dir.File("dev"), "pty,rawer,link=" + dir.File("peer")});
        ASSERT_TRUE(WaitUntil([&] {
            return std::filesystem::exists(dir.File("dev")) && std::filesystem::exists(dir.File("peer"));
        }));
    }
    test::ScratchDirectory dir;
    Child pair;
};

TEST_F(SoakTest, BothSidesFailThreeTimesAndEveryFrameSentWhileUpArrivesOnceInOrder) {
    constexpr std::size_t kFramesPerStretch = 12000;  // guaranteed frames each way between failures
    StartPair();
    std::unique_ptr<Traffic> traffic;
    std::uint16_t port = 0;
    for (int attempt = 0; attempt < 5 && !traffic; ++attempt) {
        port = test::RefusingPort();
        traffic = std::make_unique<Traffic>(port);
        if (!traffic->StartPeer()) traffic.reset();
    }
    ASSERT_TRUE(traffic);
    ASSERT_TRUE(traffic->OpenDevice(dir.File("peer")));
    Program program(dir.Path(), {"--headless", "--dir", dir.Path(), "--mode", "client", "--host", "127.0.0.1", "--port",
                                 std::to_string(port), "--serial", dir.File("dev"), "--reconnect", "1"});
    ASSERT_TRUE(program.ErrContains("Connected to Server")) << program.Err();

    // Guaranteed frames until this many more have arrived each way.
    auto stretch = [&] {
        traffic->SetGuaranteed(true);
        const std::size_t target = traffic->LeastGuaranteedReceived() + kFramesPerStretch;
        ASSERT_TRUE(WaitUntil([&] { return traffic->LeastGuaranteedReceived() >= target; }, 120s)) << program.Err();
        // Before anything fails, what was sent for sure has arrived.
        traffic->SetGuaranteed(false);
        ASSERT_TRUE(WaitUntil([&] { return traffic->Settled(); }, 30s)) << program.Err();
    };
    const std::string lost = "Com port lost: " + dir.File("dev") + ", retrying";
    const std::string back = "Com port back: " + dir.File("dev");
    test::ProcessUse afterFirstRound;
    stretch();
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(round);
        // The peer goes away, refuses for a while, comes back.
        traffic->DropPeer();
        ASSERT_TRUE(program.ErrCountAtLeast("Connection refused (10061)", round, 30s)) << program.Err();
        ASSERT_TRUE(traffic->StartPeer());
        ASSERT_TRUE(WaitUntil([&] { return traffic->Accepted() == round + 1; }, 30s)) << program.Err();
        ASSERT_TRUE(program.ErrCountAtLeast("Connected to Server", round + 1));
        stretch();
        // The pty pair goes away, and comes back behind the same names.
        pair.Stop();
        traffic->CloseDevice();
        ASSERT_TRUE(program.ErrCountAtLeast(lost, round, 30s)) << program.Err();
        StartPair();
        ASSERT_TRUE(traffic->OpenDevice(dir.File("peer")));
        ASSERT_TRUE(program.ErrCountAtLeast(back, round, 30s)) << program.Err();
        stretch();
        if (round == 1) afterFirstRound = test::UseOf(program.pid());
    }
    const test::ProcessUse atEnd = test::UseOf(program.pid());

    traffic->Inspect([](const Flow& toCom, const Flow& toTcp) {
        for (const Flow* flow : {&toCom, &toTcp}) {
            EXPECT_EQ(flow->OutOfOrder(), 0);
            EXPECT_TRUE(flow->AllGuaranteedArrived());
            EXPECT_GE(flow->GuaranteedSent(), 7 * kFramesPerStretch);
        }
        std::printf("frames tcp>com: %u sent, %zu guaranteed, %d cut; com>tcp: %u sent, %zu guaranteed, %d cut\n",
                    toCom.Sent(), toCom.GuaranteedSent(), toCom.Malformed(), toTcp.Sent(), toTcp.GuaranteedSent(),
                    toTcp.Malformed());
        return 0;
    });
    std::printf("bridge after the first round: %d descriptors, %d threads, %ld KiB; at the end: %d, %d, %ld KiB\n",
                afterFirstRound.descriptors, afterFirstRound.threads, afterFirstRound.rssKib, atEnd.descriptors,
                atEnd.threads, atEnd.rssKib);
    EXPECT_LE(atEnd.descriptors, afterFirstRound.descriptors);
    EXPECT_LE(atEnd.threads, afterFirstRound.threads);
#ifdef __SANITIZE_ADDRESS__
    // AddressSanitizer's quarantine holds freed memory back by design (up to 256 MiB).
    constexpr long kAllowedGrowthKib = 256 * 1024;
#else
    constexpr long kAllowedGrowthKib = 2048;
#endif
    EXPECT_LE(atEnd.rssKib, afterFirstRound.rssKib + kAllowedGrowthKib);

    const auto counters = program.Counters();
    EXPECT_EQ(counters.at("port_losses"), 3u);
    EXPECT_EQ(counters.at("connects"), 4u);
    EXPECT_EQ(counters.at("disconnects"), 3u);
    EXPECT_GE(counters.at("reconnects"), 3u);
    traffic.reset();
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0) << program.Err();
}

}  // namespace
}  // namespace portvale

#endif  // PORTVALE_BINARY
