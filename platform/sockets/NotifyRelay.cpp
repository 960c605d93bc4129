#include "platform/sockets/NotifyRelay.h"

#include <cstdint>
#include <map>
#include <mutex>

#include "platform/Dispatcher.h"

namespace portvale::ws::detail {

namespace {

constexpr std::uint32_t kRunTask = WM_USER + 0x100;

struct Relay {
    std::mutex mutex;
    HWND window = 0;
    std::size_t users = 0;
    std::uint64_t nextTask = 1;
    std::map<std::uint64_t, std::function<void()>> tasks;
};

// Never destroyed: the lookup worker may still post while the process ends.
Relay& State() {
    static Relay* relay = new Relay();
    return *relay;
}

LRESULT RelayProc(std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
    if (msg != kRunTask) return Dispatcher::DefWindowProc(0, msg, wParam, lParam);
    std::function<void()> task;
    {
        Relay& relay = State();
        std::lock_guard lock(relay.mutex);
        auto it = relay.tasks.find(static_cast<std::uint64_t>(wParam));
        if (it == relay.tasks.end()) return 0;
        task = std::move(it->second);
        relay.tasks.erase(it);
    }
    // The task may close the last socket and so destroy this very window; the
    // dispatcher allows that from inside the window's own handler.
    task();
    return 0;
}

}  // namespace

void RelayPost(std::function<void()> task) {
    Relay& relay = State();
    std::lock_guard lock(relay.mutex);
    if (relay.users == 0) return;
    if (relay.window == 0) relay.window = Dispatcher::Instance().AllocateHWnd(RelayProc);
    const std::uint64_t id = relay.nextTask++;
    relay.tasks.emplace(id, std::move(task));
    // Posting under our lock keeps task ids and queue order the same.
    Dispatcher::Instance().PostMessage(relay.window, kRunTask, static_cast<WPARAM>(id), 0);
}

void RelayAddUser() {
    Relay& relay = State();
    std::lock_guard lock(relay.mutex);
    ++relay.users;
}

void RelayRelease() {
    Relay& relay = State();
    std::lock_guard lock(relay.mutex);
    if (relay.users == 0 || --relay.users > 0) return;
    relay.tasks.clear();
    if (relay.window != 0) {
        Dispatcher::Instance().DeallocateHWnd(relay.window);
        relay.window = 0;
    }
}

}  // namespace portvale::ws::detail
