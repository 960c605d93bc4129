// Cross-thread message throughput of the GUI dispatcher, against a plain
// mutex-and-condition-variable queue doing the same hand-over in the same run.
// Usage: dispatcher_bench [messages]   (default 1,000,000)

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/Dispatcher.h"

namespace {

using Clock = std::chrono::steady_clock;

double DispatcherSeconds(long messages) {
    auto& d = portvale::Dispatcher::Instance();
    long received = 0;
    const portvale::HWND window = d.AllocateHWnd([&](std::uint32_t, portvale::WPARAM, portvale::LPARAM) -> portvale::LRESULT {
        ++received;
        return 0;
    });
    const auto start = Clock::now();
    std::thread producer([&] {
        for (long i = 0; i < messages; ++i) d.PostMessage(window, portvale::WM_USER, 0, i);
    });
    d.RunUntil([&] { return received == messages; }, Clock::time_point::max());
    producer.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    d.DeallocateHWnd(window);
    return seconds;
}

double PlainQueueSeconds(long messages) {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<long> queue;
    const auto start = Clock::now();
    std::thread producer([&] {
        for (long i = 0; i < messages; ++i) {
            {
                std::lock_guard lock(mutex);
                queue.push_back(i);
            }
            cv.notify_one();
        }
    });
    long received = 0;
    while (received < messages) {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return !queue.empty(); });
        received += static_cast<long>(queue.size());
        queue.clear();
    }
    producer.join();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const long messages = argc > 1 ? std::atol(argv[1]) : 1000000;
    portvale::Dispatcher::Instance().BindToCurrentThread();
    const double ours = DispatcherSeconds(messages);
    const double peer = PlainQueueSeconds(messages);
    std::printf("dispatcher:  %ld posts in %.3f s (%.0f/s)\n", messages, ours, messages / ours);
    std::printf("plain queue: %ld items in %.3f s (%.0f/s)\n", messages, peer, messages / peer);
    std::printf("ratio dispatcher/plain time: %.2f\n", ours / peer);
    return 0;
}
