#pragma once
// A pseudo-terminal as the serial device under test: the backend opens the slave
// by its path, the test plays the peer on the master side.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/serial/TermiosSerialApi.h"

namespace portvale::test {

using TestClock = std::chrono::steady_clock;
constexpr std::chrono::seconds kWaitLimit{10};

// Polls a condition that another thread makes true, up to a generous deadline.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = kWaitLimit) {
    const auto deadline = TestClock::now() + limit;
    while (!condition()) {
        if (TestClock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class Pty {
public:
    Pty() {
        char name[256];
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
        path_ = name;
        // The master side in raw mode too, so the test sees bytes as they are.
        termios t{};
        ::tcgetattr(master_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master_, TCSANOW, &t);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() {
        CloseMaster();
        if (slave_ >= 0) ::close(slave_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    int slave() const { return slave_; }
    int master() const { return master_; }

    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

    // Writes everything, waiting for room while the slave side reads.
    void Send(const std::string& bytes) {
        std::size_t done = 0;
        const auto deadline = TestClock::now() + kWaitLimit;
        while (done < bytes.size() && TestClock::now() < deadline) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                break;
            } else {
                pollfd p{master_, POLLOUT, 0};
                ::poll(&p, 1, 100);
            }
        }
        ASSERT_EQ(done, bytes.size());
    }

    // Reads until n bytes have come or the deadline passes.
    std::string Receive(std::size_t n, std::chrono::milliseconds limit = kWaitLimit) {
        std::string out;
        const auto deadline = TestClock::now() + limit;
        char buf[65536];
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - TestClock::now());
            if (left.count() <= 0) break;
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            const ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
            if (r > 0) out.append(buf, static_cast<std::size_t>(r));
            else if (r == 0 || (errno != EAGAIN && errno != EINTR)) break;
        }
        return out;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// A backend with one pty device opened through it.
class PtyPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal available";
        handle = api.CreateFile("\\\\.\\" + pty.path());
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << "errno " << api.GetLastError();
    }
    void TearDown() override {
        if (handle != INVALID_HANDLE_VALUE) api.CloseHandle(handle);
    }

    // Waits until the backend counts n bytes in its input queue.
    bool WaitForInput(std::uint32_t n) {
        return WaitUntil([&] {
            COMSTAT stat;
            return api.ClearCommError(handle, nullptr, &stat) && stat.cbInQue >= n;
        });
    }

    void SetTimeouts(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant,
                     std::uint32_t writeMultiplier = 0, std::uint32_t writeConstant = 0) {
        COMMTIMEOUTS t{interval, multiplier, constant, writeMultiplier, writeConstant};
        ASSERT_TRUE(api.SetCommTimeouts(handle, t));
    }

    Pty pty;
    TermiosSerialApi api;
    HANDLE handle = INVALID_HANDLE_VALUE;
};

}  // namespace portvale::test
