// The serial road's own cost, one byte at a time, against a bare epoll read of the
// same pseudo-terminal in the same run:
//   receive: a byte written to the pty's far end, until OnRxChar runs on the
//            dispatching thread (the port's default, as the window and headless use
//            it), against epoll_wait + read on the near end;
//   write:   a 1-byte TComPort::Write, until the far end reads it, against a bare
//            write(2) on the near end.
// Rounds alternate port and bare, so both see the same machine.
// Usage: rx_probe [samples]   (default 2000)

#include <fcntl.h>
#include <pty.h>
#include <sys/epoll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "comport/ComPort.h"
#include "platform/Dispatcher.h"

namespace {

using Clock = std::chrono::steady_clock;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size())))];
}

void MakeRaw(int fd) {
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
}

bool ReadOne(int fd) {
    char c;
    for (;;) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n == 1) return true;
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace portvale;
    const int samples = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    int far = -1, near = -1;
    char name[256];
    if (openpty(&far, &near, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    MakeRaw(far);
    MakeRaw(near);
    // The bare peer reads a second pty, so the port's descriptor is its own.
    int bareFar = -1, bareNear = -1;
    if (openpty(&bareFar, &bareNear, nullptr, nullptr, nullptr) != 0) return 1;
    MakeRaw(bareFar);
    MakeRaw(bareNear);
    fcntl(bareNear, F_SETFL, fcntl(bareNear, F_GETFL) | O_NONBLOCK);
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event interest{EPOLLIN, {}};
    epoll_ctl(epoll, EPOLL_CTL_ADD, bareNear, &interest);

    Dispatcher& dispatcher = Dispatcher::Instance();
    dispatcher.BindToCurrentThread();
    TComPort port(nullptr);
    port.SetPort(name);
    bool arrived = false;
    Clock::time_point arrival;
    port.OnRxChar = [&](TObject*, std::int32_t count) {
        arrival = Clock::now();
        std::vector<char> bytes(static_cast<std::size_t>(count));
        port.Read(bytes.data(), count);
        arrived = true;
    };
    port.SetConnected(true);

    std::vector<double> portRx, bareRx, portTx, bareTx;
    const char byte = 'x';
    for (int i = 0; i < samples; ++i) {
        arrived = false;
        const auto sent = Clock::now();
        if (::write(far, &byte, 1) != 1) return 1;
        if (!dispatcher.RunUntil([&] { return arrived; }, Clock::now() + std::chrono::seconds(5))) {
            std::fprintf(stderr, "no OnRxChar within 5 s\n");
            return 1;
        }
        portRx.push_back(Micros(arrival - sent));

        const auto bareSent = Clock::now();
        if (::write(bareFar, &byte, 1) != 1) return 1;
        epoll_event ready{};
        while (epoll_wait(epoll, &ready, 1, 5000) != 1) {}
        char c;
        while (::read(bareNear, &c, 1) != 1) {}
        bareRx.push_back(Micros(Clock::now() - bareSent));

        const auto written = Clock::now();
        port.Write(&byte, 1);
        if (!ReadOne(far)) return 1;
        portTx.push_back(Micros(Clock::now() - written));

        const auto bareWritten = Clock::now();
        if (::write(bareNear, &byte, 1) != 1) return 1;
        if (!ReadOne(bareFar)) return 1;
        bareTx.push_back(Micros(Clock::now() - bareWritten));
    }
    port.SetConnected(false);

    std::printf("%d samples, microseconds          median     p99   ratio (median)\n", samples);
    std::printf("receive: byte to OnRxChar    %8.1f %8.1f   %.2f\n", Percentile(portRx, 50), Percentile(portRx, 99),
                Percentile(portRx, 50) / Percentile(bareRx, 50));
    std::printf("receive: bare epoll + read   %8.1f %8.1f\n", Percentile(bareRx, 50), Percentile(bareRx, 99));
    std::printf("write:   TComPort::Write     %8.1f %8.1f   %.2f\n", Percentile(portTx, 50), Percentile(portTx, 99),
                Percentile(portTx, 50) / Percentile(bareTx, 50));
    std::printf("write:   bare write(2)       %8.1f %8.1f\n", Percentile(bareTx, 50), Percentile(bareTx, 99));
    close(epoll);
    return 0;
}
