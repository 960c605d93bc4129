#include "platform/Dispatcher.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/support/Wait.h"

namespace portvale {
namespace {

using test::PumpUntil;

struct Received {
    std::uint32_t msg;
    WPARAM wParam;
    LPARAM lParam;
};

// A hidden window that records what reaches it.
class RecordingWindow {
public:
    RecordingWindow() {
        handle = Dispatcher::Instance().AllocateHWnd(
            [this](std::uint32_t msg, WPARAM w, LPARAM l) -> LRESULT {
                received.push_back({msg, w, l});
                inSend.push_back(Dispatcher::Instance().InSendMessage());
                return onMessage ? onMessage(msg, w, l) : 0;
            });
    }
    ~RecordingWindow() { Dispatcher::Instance().DeallocateHWnd(handle); }

    HWND handle;
    std::vector<Received> received;
    std::vector<bool> inSend;
    std::function<LRESULT(std::uint32_t, WPARAM, LPARAM)> onMessage;
};

class DispatcherTest : public ::testing::Test {
protected:
    void TearDown() override {
        // Leave nothing queued for the next test.
        while (d.ProcessPending()) {
        }
        d.SetExceptionSink(nullptr);
    }
    Dispatcher& d = Dispatcher::Instance();
};

TEST_F(DispatcherTest, PostedMessagesKeepTheirOrderPerSenderAcrossThreads) {
    RecordingWindow window;
    constexpr int kThreads = 4;
    constexpr int kPerThread = 2000;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i)
                ASSERT_TRUE(d.PostMessage(window.handle, WM_USER, static_cast<WPARAM>(t), i));
        });
    for (auto& s : senders) s.join();
    ASSERT_TRUE(PumpUntil([&] { return window.received.size() == kThreads * kPerThread; }));
    std::vector<LPARAM> next(kThreads, 0);
    for (const auto& r : window.received) {
        ASSERT_EQ(r.lParam, next[r.wParam]) << "sender " << r.wParam << " out of order";
        ++next[r.wParam];
    }
}

TEST_F(DispatcherTest, PostToUnknownWindowFails) {
    HWND gone;
    {
        RecordingWindow window;
        gone = window.handle;
    }
    EXPECT_FALSE(d.PostMessage(gone, WM_USER, 0, 0));
    EXPECT_FALSE(d.IsWindow(gone));
}

TEST_F(DispatcherTest, CrossThreadSendBlocksUntilHandledAndReturnsTheResult) {
    RecordingWindow window;
    std::atomic<bool> handled{false};
    window.onMessage = [&](std::uint32_t, WPARAM w, LPARAM) -> LRESULT {
        handled = true;
        return static_cast<LRESULT>(w * 2);
    };
    std::atomic<LRESULT> result{-1};
    std::atomic<bool> handledWhenReturned{false};
    std::thread sender([&] {
        result = d.SendMessage(window.handle, WM_USER + 5, 21, 0);
        handledWhenReturned = handled.load();
    });
    ASSERT_TRUE(PumpUntil([&] { return result != -1; }));
    sender.join();
    EXPECT_EQ(result, 42);
    EXPECT_TRUE(handledWhenReturned);
    ASSERT_EQ(window.inSend.size(), 1u);
    EXPECT_TRUE(window.inSend[0]);
}

TEST_F(DispatcherTest, SendOnTheGuiThreadCallsDirectlyAndIsNotAnInterThreadSend) {
    RecordingWindow window;
    window.onMessage = [](std::uint32_t, WPARAM, LPARAM l) -> LRESULT { return l + 1; };
    EXPECT_EQ(d.SendMessage(window.handle, WM_USER, 0, 9), 10);
    ASSERT_EQ(window.inSend.size(), 1u);
    EXPECT_FALSE(window.inSend[0]);
    EXPECT_FALSE(d.ReplyMessage(1));
}

TEST_F(DispatcherTest, ReplyMessageReleasesTheSenderBeforeTheHandlerEnds) {
    RecordingWindow window;
    std::atomic<bool> senderReleased{false};
    std::atomic<LRESULT> result{0};
    bool sawReleaseInsideHandler = false;
    window.onMessage = [&](std::uint32_t, WPARAM, LPARAM) -> LRESULT {
        EXPECT_TRUE(d.ReplyMessage(7));
        EXPECT_TRUE(d.InSendMessage());
        // The sender runs on while this handler is still going.
        const auto deadline = std::chrono::steady_clock::now() + test::kDeadline;
        while (!senderReleased && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        sawReleaseInsideHandler = senderReleased;
        return 99;  // ignored: the reply was given
    };
    std::thread sender([&] {
        result = d.SendMessage(window.handle, WM_USER, 0, 0);
        senderReleased = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return !window.received.empty(); }));
    sender.join();
    EXPECT_TRUE(sawReleaseInsideHandler);
    EXPECT_EQ(result, 7);
}

TEST_F(DispatcherTest, SentMessagesAreHandledBeforePostedOnes) {
    RecordingWindow window;
    d.PostMessage(window.handle, WM_USER + 1, 0, 0);
    d.PostMessage(window.handle, WM_USER + 2, 0, 0);
    std::thread sender([&] { d.SendMessage(window.handle, WM_USER + 3, 0, 0); });
    // Not pumping yet: wait until the send is queued behind the two posts.
    const auto deadline = std::chrono::steady_clock::now() + test::kDeadline;
    while (d.QueuedSentCount() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    ASSERT_EQ(d.QueuedSentCount(), 1u);
    ASSERT_TRUE(PumpUntil([&] { return window.received.size() == 3; }));
    sender.join();
    EXPECT_EQ(window.received[0].msg, WM_USER + 3u);
    EXPECT_EQ(window.received[1].msg, WM_USER + 1u);
    EXPECT_EQ(window.received[2].msg, WM_USER + 2u);
}

TEST_F(DispatcherTest, WindowDestroyedInItsOwnHandlerDropsItsQueuedMessages) {
    auto* window = new RecordingWindow();
    RecordingWindow bystander;
    int calls = 0;
    window->onMessage = [&](std::uint32_t, WPARAM, LPARAM) -> LRESULT {
        ++calls;
        delete window;  // destroys the window (and this closure's owner) mid-handler
        return 0;
    };
    const HWND handle = window->handle;
    for (int i = 0; i < 3; ++i) d.PostMessage(handle, WM_USER, 0, i);
    d.PostMessage(bystander.handle, WM_USER, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return bystander.received.size() == 1; }));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(d.IsWindow(handle));
    EXPECT_FALSE(d.PostMessage(handle, WM_USER, 0, 0));
}

TEST_F(DispatcherTest, DestroyingAWindowReleasesBlockedSendersWithZero) {
    auto window = std::make_unique<RecordingWindow>();
    const HWND handle = window->handle;
    std::atomic<bool> started{false};
    std::atomic<LRESULT> result{-1};
    std::thread sender([&] {
        started = true;
        result = d.SendMessage(handle, WM_USER, 0, 0);
    });
    while (!started) std::this_thread::yield();
    // Destroy before pumping: whether or not the send was queued yet, it ends with 0.
    window.reset();
    sender.join();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(d.IsWindow(handle));
}

TEST_F(DispatcherTest, ExceptionInAHandlerReachesTheSinkAndTheLoopGoesOn) {
    RecordingWindow window;
    std::vector<std::string> reported;
    d.SetExceptionSink([&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& ex) {
            reported.push_back(ex.what());
        }
    });
    window.onMessage = [](std::uint32_t msg, WPARAM, LPARAM) -> LRESULT {
        if (msg == WM_USER + 1) throw std::runtime_error("boom");
        return 0;
    };
    d.PostMessage(window.handle, WM_USER + 1, 0, 0);
    d.PostMessage(window.handle, WM_USER + 2, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return window.received.size() == 2; }));
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], "boom");
}

TEST_F(DispatcherTest, PollFdTurnsReadableWhenAnotherThreadPosts) {
    RecordingWindow window;
    while (d.ProcessPending()) {
    }
    pollfd p{d.PollFd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 0), 0) << "nothing pending yet";
    std::thread poster([&] { d.PostMessage(window.handle, WM_USER, 0, 0); });
    poster.join();
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    EXPECT_TRUE(d.ProcessPending());
    EXPECT_EQ(window.received.size(), 1u);
}

TEST_F(DispatcherTest, PostsMadeWhileAStepRunsKeepTheFdReadableAfterIt) {
    RecordingWindow window;
    while (d.ProcessPending()) {
    }
    window.onMessage = [&](std::uint32_t msg, WPARAM, LPARAM) -> LRESULT {
        // Posted from another thread while the step runs and the queue is not empty.
        if (msg == WM_USER + 1) std::thread([&] { d.PostMessage(window.handle, WM_USER + 3, 0, 0); }).join();
        return 0;
    };
    d.PostMessage(window.handle, WM_USER + 1, 0, 0);
    d.PostMessage(window.handle, WM_USER + 2, 0, 0);
    ASSERT_TRUE(d.ProcessPending());
    ASSERT_EQ(window.received.size(), 2u) << "a step handles only what was queued when it began";
    pollfd p{d.PollFd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 0), 1) << "the message left behind must wake the loop";
    d.ProcessPending();
    ASSERT_EQ(window.received.size(), 3u);
    EXPECT_EQ(window.received[2].msg, WM_USER + 3u);
}

TEST_F(DispatcherTest, SynchronizeRunsOnTheGuiThreadAndCarriesExceptionsBack) {
    const auto gui = std::this_thread::get_id();
    std::atomic<bool> ranOnGui{false};
    std::atomic<int> phase{0};
    std::string caught;
    std::thread worker([&] {
        d.Synchronize([&] { ranOnGui = std::this_thread::get_id() == gui; });
        phase = 1;
        try {
            d.Synchronize([] { throw std::runtime_error("from the GUI thread"); });
        } catch (const std::exception& e) {
            caught = e.what();
        }
        phase = 2;
    });
    ASSERT_TRUE(PumpUntil([&] { return phase == 2; }));
    worker.join();
    EXPECT_TRUE(ranOnGui);
    EXPECT_EQ(caught, "from the GUI thread");
}

TEST_F(DispatcherTest, FdWatchCallsBackAndMayUnwatchItself) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    int calls = 0;
    Dispatcher::WatchId id = 0;
    const auto before = d.WatchCount();
    id = d.WatchFd(fds[0], 0x001 /*EPOLLIN*/, [&](std::uint32_t) {
        ++calls;
        d.Unwatch(id);
    });
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
    // Still readable, but the watch is gone: no second call.
    d.RunFor(std::chrono::milliseconds(20), nullptr);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(d.WatchCount(), before);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST_F(DispatcherTest, NestedLoopsInsideAHandlerKeepDelivering) {
    RecordingWindow window;
    bool innerSawSecond = false;
    window.onMessage = [&](std::uint32_t msg, WPARAM, LPARAM) -> LRESULT {
        if (msg == WM_USER + 1) {
            // A modal loop: pumps until the later message has been handled.
            innerSawSecond = d.RunFor(test::kDeadline, [&] { return window.received.size() == 2; });
        }
        return 0;
    };
    d.PostMessage(window.handle, WM_USER + 1, 0, 0);
    d.PostMessage(window.handle, WM_USER + 2, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return window.received.size() == 2; }));
    EXPECT_TRUE(innerSawSecond);
}

TEST_F(DispatcherTest, RunUntilGivesUpAtTheDeadlineAndQuitEndsRun) {
    EXPECT_FALSE(d.RunFor(std::chrono::milliseconds(5), [] { return false; }));
    RecordingWindow window;
    window.onMessage = [&](std::uint32_t, WPARAM, LPARAM) -> LRESULT {
        d.Quit();
        return 0;
    };
    d.PostMessage(window.handle, WM_USER, 0, 0);
    d.Run();  // returns because the handler quits
    EXPECT_EQ(window.received.size(), 1u);
}

}  // namespace
}  // namespace portvale
