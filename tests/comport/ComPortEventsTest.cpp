// Event dispatch, links and transfers against the recording device: the order of a
// batch under each sync method, the receive paths, what links are told, failing
// handlers, closing from inside a handler, and the blocking and async transfer forms.
#include <algorithm>
#include <thread>

#include "tests/comport/ComPortTestSupport.h"
#include "tests/support/RecordingInteraction.h"

namespace portvale {
namespace {

using test::PumpUntil;
using test::RecordedPortTest;

constexpr std::uint32_t kAllMaskBits = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD |
                                       EV_BREAK | EV_ERR | EV_RING | EV_RX80FULL;

class ComPortEvents : public RecordedPortTest {
protected:
    void OpenLogged(TSyncMethod method = smThreadSync) {
        test::LogAllHandlers(*port, log);
        port->SetSyncMethod(method);
        port->Open();
        log.Clear();  // the line states reported by the open
    }
    // Once the thread waits again, the events raised before are dispatched; a Ring
    // raised then is a batch of its own, so "Ring" logged last marks the end.
    bool RingAndWait() {
        if (!PumpUntil([&] { return api.EventWaitPending(); })) return false;
        api.RaiseEvents(EV_RING);
        return PumpUntil([&] {
            const auto entries = log.Entries();
            return !entries.empty() && entries.back() == "Ring";
        });
    }
};

TEST_F(ComPortEvents, BatchRunsInDispatchOrderUnderEverySyncMethod) {
    const std::vector<std::string> expected = {"Error 1", "RxChar 5", "TxEmpty", "Break",    "Ring",
                                               "CTS on",  "DSR off",  "RxFlag",  "RLSD off", "Rx80Full"};
    for (const TSyncMethod method : {smThreadSync, smWindowSync, smNone}) {
        SCOPED_TRACE(static_cast<int>(method));
        port = std::make_unique<TComPort>(nullptr);
        const std::size_t windows = Dispatcher::Instance().WindowCount();
        std::atomic<std::thread::id> handlerThread{};
        OpenLogged(method);
        port->OnBreak = [&](TObject*) {
            handlerThread = std::this_thread::get_id();
            log.Add("Break");
        };
        EXPECT_EQ(Dispatcher::Instance().WindowCount(), windows + (method == smWindowSync ? 1 : 0));
        api.SetLineErrors(CE_FRAME);
        api.AddInput("hello");
        api.SetModemStatus(MS_CTS_ON);
        api.RaiseEvents(kAllMaskBits);
        ASSERT_TRUE(PumpUntil([&] { return log.Size() >= expected.size(); }));
        EXPECT_EQ(log.Entries(), expected);
        EXPECT_EQ(handlerThread.load() == std::this_thread::get_id(), method != smNone);
        EXPECT_EQ(api.Input(), "hello");  // OnRxChar leaves the bytes to its handler
        port->Close();
        EXPECT_EQ(Dispatcher::Instance().WindowCount(), windows);
        EXPECT_EQ(TComThread::LiveCount(), 0);
    }
}

TEST_F(ComPortEvents, EventsWithNothingToReportCallNoHandler) {
    OpenLogged();
    api.RaiseEvents(EV_ERR | EV_RXCHAR);  // no line error, no byte waiting
    ASSERT_TRUE(RingAndWait());
    EXPECT_EQ(log.Entries(), std::vector<std::string>{"Ring"});
}

TEST_F(ComPortEvents, ReceivedBytesGoOnceToOnRxBufWhenNotTriggeringOnRxChar) {
    port->SetTriggersOnRxChar(false);
    OpenLogged();
    api.AddInput("12345");
    api.RaiseEvents(EV_RXCHAR);
    ASSERT_TRUE(RingAndWait());
    EXPECT_EQ(log.Entries(), (std::vector<std::string>{"RxBuf 12345", "Ring"}));
    EXPECT_EQ(api.Input(), "");
}

TEST_F(ComPortEvents, ALinkTakingBuffersGetsThemAfterOnRxBuf) {
    link.OnRxBuf = [&](TObject*, const char* b, std::int32_t n) { log.Add("link RxBuf " + std::string(b, n)); };
    link.OnRx = [&](TObject*, bool on) { log.Add(std::string("link Rx ") + (on ? "on" : "off")); };
    link.OnRing = [&](TObject*) { log.Add("link Ring"); };
    TComLink& silent = otherLink;  // a link without callbacks is skipped
    port->RegisterLink(&silent);
    port->RegisterLink(&link);
    EXPECT_FALSE(port->GetTriggersOnRxChar());
    try {
        port->SetTriggersOnRxChar(true);
        FAIL() << "no exception";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ComCode(), CError_HasLink);
        EXPECT_EQ(e.Message(), "A component is linked to OnRxBuf event");
    }
    OpenLogged();
    api.AddInput("abc");
    api.RaiseEvents(EV_RXCHAR);
    ASSERT_TRUE(RingAndWait());
    const std::vector<std::string> expected = {"link Rx on", "link Rx off", "RxBuf abc", "link RxBuf abc",
                                               "link Ring",  "Ring"};
    EXPECT_EQ(log.Entries(), expected);
    port->Close();
    port->UnRegisterLink(&link);
    port->UnRegisterLink(&silent);
    EXPECT_TRUE(port->GetTriggersOnRxChar());
}

TEST_F(ComPortEvents, LinkRegistryRefusesDuplicatesAndStrangers) {
    TComLink& a = link;
    TComLink& b = otherLink;
    port->RegisterLink(&a);
    try {
        port->RegisterLink(&a);
        FAIL() << "no exception";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ComCode(), CError_RegFailed);
        EXPECT_EQ(e.Message(), "Link (un)registration failed");
    }
    EXPECT_THROW(port->UnRegisterLink(&b), EComPort);
    port->UnRegisterLink(&a);
    EXPECT_THROW(port->UnRegisterLink(&a), EComPort);
}

TEST_F(ComPortEvents, TransmitSideIsToldToLinks) {
    link.OnTx = [&](TObject*, bool on) { log.Add(std::string("link Tx ") + (on ? "on" : "off")); };
    link.OnTxBuf = [&](TObject*, const char* b, std::int32_t n) { log.Add("link TxBuf " + std::string(b, n)); };
    link.OnTxEmpty = [&](TObject*) { log.Add("link TxEmpty"); };
    link.OnRxFlag = [&](TObject*) { log.Add("link RxFlag"); };
    port->RegisterLink(&link);
    OpenLogged();
    EXPECT_EQ(port->WriteStr("hello"), 5);
    EXPECT_EQ(api.Written(), "hello");
    api.RaiseEvents(EV_TXEMPTY | EV_RXFLAG);
    ASSERT_TRUE(RingAndWait());
    const std::vector<std::string> expected = {"link Tx on",   "link TxBuf hello", "link Tx off", "link TxEmpty",
                                               "TxEmpty",      "link RxFlag",      "RxFlag",      "Ring"};
    EXPECT_EQ(log.Entries(), expected);
    port->Close();
    port->UnRegisterLink(&link);
}

TEST_F(ComPortEvents, AWaitThatEndsInFailureReportsNothingAndTheThreadWaitsOn) {
    OpenLogged();
    ASSERT_TRUE(PumpUntil([&] { return api.EventWaitPending(); }));
    api.Fail("GetOverlappedResult", 5, 1);
    api.RaiseEvents(EV_BREAK);
    ASSERT_TRUE(RingAndWait());
    EXPECT_EQ(log.Entries(), std::vector<std::string>{"Ring"});
    EXPECT_FALSE(port->EventWorker()->Finished());
}

TEST_F(ComPortEvents, FailingHandlerEndsTheThreadButThePortStaysUsable) {
    OpenLogged(smThreadSync);
    port->OnRxChar = [](TObject*, std::int32_t) { throw Exception("handler failed"); };
    api.AddInput("x");
    api.RaiseEvents(EV_RXCHAR);
    ASSERT_TRUE(PumpUntil([&] { return port->EventWorker()->Finished(); }));
    port->EventWorker()->WaitFor();
    EXPECT_TRUE(port->EventWorker()->FatalException() != nullptr);
    EXPECT_TRUE(port->Connected());
    EXPECT_EQ(port->WriteStr("ok"), 2);
    port->Close();
    EXPECT_EQ(api.OpenHandles(), 0);
    port->Open();  // a fresh thread serves the port again
    ASSERT_TRUE(RingAndWait());
}

TEST_F(ComPortEvents, FailingHandlerUnderWindowSyncIsShownAndDispatchGoesOn) {
    test::RecordingInteraction boxes;
    OpenLogged(smWindowSync);
    port->OnBreak = [](TObject*) { throw Exception("break failed"); };
    api.RaiseEvents(EV_BREAK);
    ASSERT_TRUE(PumpUntil([&] { return boxes.shown.size() == 1; }));
    EXPECT_EQ(boxes.shown[0].text, "break failed");
    ASSERT_TRUE(RingAndWait());
}

TEST_F(ComPortEvents, HandlerMayCloseThePortUnderEverySyncMethod) {
    for (const TSyncMethod method : {smThreadSync, smWindowSync, smNone}) {
        SCOPED_TRACE(static_cast<int>(method));
        port = std::make_unique<TComPort>(nullptr);
        OpenLogged(method);
        port->OnRxChar = [&](TObject*, std::int32_t) { port->Close(); };
        api.AddInput("x");
        // An event later in the same batch finds the port closed. (Under smWindowSync
        // each event is a message of its own, which may still be served during the close.)
        api.RaiseEvents(method == smWindowSync ? EV_RXCHAR : EV_RXCHAR | EV_RLSD);
        ASSERT_TRUE(PumpUntil([&] {
            const auto entries = log.Entries();
            return !entries.empty() && entries.back() == "AfterClose";
        }));
        EXPECT_EQ(log.Entries(), (std::vector<std::string>{"CTS off", "DSR off", "RLSD off", "BeforeClose",
                                                           "AfterClose"}));
        EXPECT_TRUE(PumpUntil([] { return TComThread::LiveCount() == 0; }));
        EXPECT_EQ(api.OpenHandles(), 0);
        EXPECT_FALSE(port->Connected());
    }
}

TEST_F(ComPortEvents, CloseServesAHandOverTheThreadAlreadyRequested) {
    OpenLogged(smThreadSync);
    api.ClearCalls();
    api.AddInput("x");
    api.RaiseEvents(EV_RXCHAR);
    // Once the thread has fetched the result it hands the batch over, and the GUI
    // thread is not pumping: Close has to serve that hand-over while it waits.
    ASSERT_TRUE(test::WaitFor([&] { return api.CountOf("GetOverlappedResult") > 0; }));
    port->Close();
    const std::vector<std::string> expected = {"CTS off", "DSR off", "RLSD off", "BeforeClose", "RxChar 1",
                                               "AfterClose"};
    EXPECT_EQ(log.Entries(), expected);
}

TEST_F(ComPortEvents, HandlerMayDestroyThePort) {
    link.OnRxBuf = [&](TObject*, const char*, std::int32_t) { log.Add("link RxBuf"); };
    port->RegisterLink(&link);
    OpenLogged(smThreadSync);
    // Nothing of the port may be touched once the handler returns.
    port->OnRxBuf = [this](TObject*, const char*, std::int32_t) { port.reset(); };
    api.AddInput("x");
    api.RaiseEvents(EV_RXCHAR);
    ASSERT_TRUE(PumpUntil([&] { return port == nullptr && TComThread::LiveCount() == 0; }));
    const auto entries = log.Entries();
    EXPECT_EQ(entries.back(), "AfterClose");
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "link RxBuf"), 0);
    EXPECT_EQ(api.OpenHandles(), 0);
}

TEST_F(ComPortEvents, HandlerServedDuringCloseMayDestroyThePort) {
    OpenLogged(smThreadSync);
    port->OnRxChar = [this](TObject*, std::int32_t) { port.reset(); };
    api.ClearCalls();
    api.AddInput("x");
    api.RaiseEvents(EV_RXCHAR | EV_RING);
    ASSERT_TRUE(test::WaitFor([&] { return api.CountOf("GetOverlappedResult") > 0; }));
    TComPort* raw = port.get();
    raw->Close();
    EXPECT_EQ(port, nullptr);
    EXPECT_EQ(TComThread::LiveCount(), 0);
    EXPECT_EQ(api.OpenHandles(), 0);
    const auto entries = log.Entries();
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "Ring"), 0);
}

TEST_F(ComPortEvents, WindowMethodDispatchesOnlyKnownEventsOfAnOpenPort) {
    test::LogAllHandlers(*port, log);
    EXPECT_EQ(port->WindowMethod(WM_COMPORT_EVENT, EV_RING, 0), 0);  // closed: ignored
    port->SetEvents(TComEvents{});
    port->Open();
    log.Clear();
    port->WindowMethod(WM_COMPORT_EVENT, EV_RING, 0);
    port->WindowMethod(WM_COMPORT_EVENT, EV_PERR, 0);  // no event of ours
    port->WindowMethod(WM_COMPORT_EVENT, EV_BREAK, 0);
    port->WindowMethod(WM_USER + 2, EV_RING, 0);
    EXPECT_EQ(log.Entries(), (std::vector<std::string>{"Ring", "Break"}));
}

TEST_F(ComPortEvents, ReadsAndWritesInTheirBlockingForms) {
    port->SetEvents(TComEvents{});
    port->Open();
    api.ClearCalls();
    EXPECT_EQ(port->WriteStr(""), 0);
    std::string text = "unchanged";
    EXPECT_EQ(port->ReadStr(text, 0), 0);
    EXPECT_EQ(text, "");
    EXPECT_TRUE(api.Calls().empty());
    char buffer[8];
    EXPECT_EQ(port->Read(buffer, 8), 0);
    api.AddInput("abcd");
    EXPECT_EQ(port->ReadStr(text, 10), 4);
    EXPECT_EQ(text, "abcd");
    EXPECT_EQ(port->Write("\0\x01\xff", 3), 3);
    EXPECT_EQ(api.Written(), std::string("\0\x01\xff", 3));

    TComStream stream(port.get());
    EXPECT_EQ(stream.Write("xy", 2), 2);
    api.AddInput("z");
    EXPECT_EQ(stream.Read(buffer, 8), 1);
    EXPECT_EQ(buffer[0], 'z');
    for (const auto origin : {TSeekOrigin::soBeginning, TSeekOrigin::soCurrent, TSeekOrigin::soEnd})
        EXPECT_EQ(stream.Seek(42, origin), 0);

    // A completion that fails is reported with the code of its kind.
    api.Fail("GetOverlappedResult", 5, 1);
    try {
        port->Read(buffer, 1);
        FAIL() << "no exception";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ComCode(), CError_ReadFailed);
    }
    api.Fail("GetOverlappedResult", 5, 1);
    try {
        port->WriteStr("x");
        FAIL() << "no exception";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ComCode(), CError_WriteFailed);
        EXPECT_EQ(e.SystemCode(), 5);
    }
}

TEST_F(ComPortEvents, AsyncWritesOwnTheirBytesAndReportProgress) {
    link.OnTxBuf = [&](TObject*, const char* b, std::int32_t n) { log.Add("link TxBuf " + std::string(b, n)); };
    port->RegisterLink(&link);
    port->SetEvents(TComEvents{});
    port->Open();
    PAsync async = nullptr;
    InitAsync(async);
    api.HoldWrites(true);
    {
        std::string temporary = "payload";
        EXPECT_EQ(port->WriteStrAsync(temporary, async), 0);
        temporary.assign(7, '#');
    }
    EXPECT_FALSE(port->IsAsyncCompleted(async));
    api.CompletePendingWrites();
    EXPECT_TRUE(port->IsAsyncCompleted(async));
    EXPECT_EQ(port->WaitForAsync(async), 7);
    EXPECT_EQ(api.Written(), "payload");
    EXPECT_EQ(log.Entries(), std::vector<std::string>{"link TxBuf payload"});

    // A read through a record that wrote before tells no transmitted buffer, whether
    // it empties the input queue or leaves bytes behind.
    log.Clear();
    char buffer[4];
    api.AddInput("r");
    EXPECT_EQ(port->ReadAsync(buffer, 4, async), 1);
    EXPECT_EQ(port->WaitForAsync(async), 1);
    api.AddInput("st");
    EXPECT_EQ(port->ReadAsync(buffer, 1, async), 1);
    EXPECT_EQ(port->WaitForAsync(async), 1);
    EXPECT_EQ(port->InputCount(), 1);
    EXPECT_TRUE(log.Entries().empty());

    api.HoldWrites(true);
    port->WriteStrAsync("x", async);
    api.Fail("GetOverlappedResult", 5, 1);
    try {
        port->IsAsyncCompleted(async);
        FAIL() << "no exception";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ComCode(), CError_AsyncCheck);
        EXPECT_EQ(e.Message(), "Unable to get async status (win error code: 5)");
    }
    port->AbortAllAsync();
    EXPECT_THROW(port->WaitForAsync(async), EComPort);  // the write was aborted
    DoneAsync(async);
    EXPECT_EQ(async, nullptr);
    port->Close();
    port->UnRegisterLink(&link);
}

TEST_F(ComPortEvents, AsyncFormsRefuseAMissingRecordBeforeTouchingTheDevice) {
    port->SetEvents(TComEvents{});
    port->Open();
    api.ClearCalls();
    PAsync none = nullptr;
    std::string text;
    char buffer[1];
    const std::function<void()> actions[] = {
        [&] { port->WriteAsync("x", 1, none); }, [&] { port->WriteStrAsync("x", none); },
        [&] { port->ReadAsync(buffer, 1, none); }, [&] { port->ReadStrAsync(text, 1, none); },
        [&] { port->WaitForAsync(none); },         [&] { port->IsAsyncCompleted(none); }};
    for (const auto& action : actions) {
        try {
            action();
            ADD_FAILURE() << "no exception";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ComCode(), CError_InvalidAsync);
            EXPECT_EQ(e.SystemCode(), -1);
        }
    }
    EXPECT_TRUE(api.Calls().empty());
}

TEST_F(ComPortEvents, WaitForEventWithoutAnEventThread) {
    port->Open();  // with the event thread
    ASSERT_TRUE(api.WaitForPendingEventWait(test::kDeadline));
    api.ClearCalls();
    TComEvents events{evRing};
    try {
        port->WaitForEvent(events, nullptr, 0);
        FAIL() << "no exception";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ComCode(), CError_ThreadCreated);
    }
    EXPECT_TRUE(api.Calls().empty());
    port->Close();

    port->SetEvents(TComEvents{});
    port->Open();
    events = TComEvents{evRxChar, evRing};
    port->WaitForEvent(events, nullptr, 0);
    EXPECT_TRUE(events.Empty());

    // An event the device raises while the port waits.
    std::thread device([&] {
        if (api.WaitForPendingEventWait(test::kDeadline)) api.RaiseEvents(EV_RING | EV_BREAK);
    });
    events = TComEvents{evRing};
    api.ClearCalls();
    port->WaitForEvent(events, nullptr, -1);
    device.join();
    EXPECT_EQ(events, TComEvents{evRing});
    const auto masks = api.CallsNamed("SetCommMask");
    ASSERT_EQ(masks.size(), 2u);
    EXPECT_EQ(masks[0].arg1, EV_RING);
    EXPECT_EQ(masks[1].arg1, 0u);

    // A stop event ends the wait with nothing.
    Event stop(true, false);
    std::thread stopper([&] {
        if (api.WaitForPendingEventWait(test::kDeadline)) stop.Set();
    });
    events = TComEvents{evRing};
    port->WaitForEvent(events, &stop, -1);
    stopper.join();
    EXPECT_TRUE(events.Empty());

    api.Fail("WaitCommEvent", 9, 1);
    try {
        port->WaitForEvent(events, nullptr, 0);
        FAIL() << "no exception";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ComCode(), CError_WaitFailed);
        EXPECT_EQ(e.SystemCode(), 9);
    }
}

}  // namespace
}  // namespace portvale
