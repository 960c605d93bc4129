#include "framework/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "framework/Exceptions.h"
#include "tests/support/Wait.h"

namespace portvale {
namespace {

// Runs a function as its Execute; ends itself in its own destructor.
class FunctionThread : public TThread {
public:
    explicit FunctionThread(std::function<void(FunctionThread&)> body) : body_(std::move(body)) {}
    ~FunctionThread() override {
        Terminate();
        WaitFor();
    }
    using TThread::Synchronize;

protected:
    void Execute() override { body_(*this); }

private:
    std::function<void(FunctionThread&)> body_;
};

TEST(ThreadTest, IsCreatedSuspendedAndStartsAtResume) {
    std::atomic<bool> ran{false};
    FunctionThread thread([&](FunctionThread&) { ran = true; });
    EXPECT_TRUE(thread.Suspended());
    EXPECT_FALSE(thread.Finished());
    EXPECT_EQ(thread.WaitFor(), 0) << "waiting for a thread never started returns at once";
    EXPECT_FALSE(ran);
    thread.Resume();
    thread.WaitFor();
    EXPECT_TRUE(ran);
    EXPECT_TRUE(thread.Finished());
}

TEST(ThreadTest, TerminateAsksTheLoopToEnd) {
    std::atomic<bool> looping{false};
    FunctionThread thread([&](FunctionThread& self) {
        while (!self.Terminated()) looping = true;
    });
    thread.Resume();
    ASSERT_TRUE(test::PumpUntil([&] { return looping.load(); }));
    thread.Terminate();
    thread.WaitFor();
    EXPECT_TRUE(thread.Finished());
}

TEST(ThreadTest, SynchronizeWhileTheGuiThreadWaitsForTheEndDoesNotDeadlock) {
    const auto gui = std::this_thread::get_id();
    std::atomic<bool> started{false};
    int syncedOnGui = 0;
    FunctionThread thread([&](FunctionThread& self) {
        started = true;
        for (int i = 0; i < 50; ++i)
            self.Synchronize([&] { syncedOnGui += std::this_thread::get_id() == gui; });
    });
    thread.Resume();
    while (!started) std::this_thread::yield();
    // The GUI thread waits without pumping its loop; WaitFor must serve the requests.
    thread.WaitFor();
    EXPECT_EQ(syncedOnGui, 50);
}

TEST(ThreadTest, AnExceptionFromASynchronizedMethodEndsTheThreadAndIsKept) {
    std::atomic<bool> afterThrow{false};
    FunctionThread thread([&](FunctionThread& self) {
        self.Synchronize([] { throw Exception("handler failed"); });
        afterThrow = true;
    });
    thread.Resume();
    thread.WaitFor();
    EXPECT_FALSE(afterThrow);
    ASSERT_TRUE(thread.FatalException());
    try {
        std::rethrow_exception(thread.FatalException());
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "handler failed");
    }
}

TEST(ThreadTest, OnTerminateRunsOnTheGuiThreadAndFreeOnTerminateDeletesTheThread) {
    static std::atomic<int> destroyed{0};
    class SelfFreeing : public TThread {
    public:
        ~SelfFreeing() override { ++destroyed; }

    protected:
        void Execute() override {}
    };
    destroyed = 0;
    const auto gui = std::this_thread::get_id();
    bool terminatedOnGui = false;
    auto* thread = new SelfFreeing();
    thread->FreeOnTerminate = true;
    thread->OnTerminate = [&](TObject*) { terminatedOnGui = std::this_thread::get_id() == gui; };
    thread->Resume();
    ASSERT_TRUE(test::PumpUntil([&] { return destroyed == 1; }));
    EXPECT_TRUE(terminatedOnGui);
}

TEST(ThreadTest, CreateRunningStartsAtOnce) {
    class Flagging : public TThread {
    public:
        explicit Flagging(std::atomic<bool>& flag) : flag_(flag) {}
        ~Flagging() override { WaitFor(); }

    protected:
        void Execute() override { flag_ = true; }

    private:
        std::atomic<bool>& flag_;
    };
    std::atomic<bool> flag{false};
    std::unique_ptr<Flagging> thread(TThread::CreateRunning<Flagging>(flag));
    thread->WaitFor();
    EXPECT_TRUE(flag);
}

}  // namespace
}  // namespace portvale
