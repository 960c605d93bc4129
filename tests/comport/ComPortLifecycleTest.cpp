// The port against the recording device: what reaches the device when it opens and
// when settings change, line control and its failures, and the open/close sequence.
#include <functional>

#include "tests/comport/ComPortTestSupport.h"
#include "tests/support/RecordingInteraction.h"

namespace portvale {
namespace {

using test::RecordedPortTest;

class ComPortDevice : public RecordedPortTest {
protected:
    DCB LastDcb() const {
        const auto states = api.CallsNamed("SetCommState");
        EXPECT_FALSE(states.empty());
        return states.empty() ? DCB{} : states.back().dcb;
    }
};

TEST_F(ComPortDevice, OpenSendsTheDefaultSettings) {
    port->SetEvents(TComEvents{});
    port->Open();
    const std::vector<std::string> expected = {"CreateFile",      "SetupComm",          "SetCommState",
                                               "SetCommTimeouts", "GetCommModemStatus", "GetCommModemStatus",
                                               "GetCommModemStatus"};
    EXPECT_EQ(api.CallNames(), expected);
    const auto calls = api.Calls();
    EXPECT_EQ(calls[0].text, "\\\\.\\COM1");
    EXPECT_EQ(calls[1].arg1, 1024u);
    EXPECT_EQ(calls[1].arg2, 1024u);
    const DCB& dcb = calls[2].dcb;
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.Flags, fDCB_Binary);
    EXPECT_EQ(dcb.XonLim, 256);
    EXPECT_EQ(dcb.XoffLim, 256);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.XonChar, 17);
    EXPECT_EQ(dcb.XoffChar, 19);
    EXPECT_EQ(dcb.ErrorChar, 0);
    EXPECT_EQ(dcb.EofChar, 0);
    EXPECT_EQ(dcb.EvtChar, 0);
    EXPECT_EQ(dcb.wReserved, 0);
    EXPECT_EQ(dcb.wReserved1, 0);
    const COMMTIMEOUTS& t = calls[3].timeouts;
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
    EXPECT_EQ(port->EventWorker(), nullptr);
    port->Close();
    EXPECT_EQ(api.OpenHandles(), 0);
}

struct DcbCase {
    const char* name;
    std::function<void(TComPort&)> configure;
    std::function<void(DCB&)> expect;  // changes to the default block
};

TEST_F(ComPortDevice, ControlBlockFollowsEverySetting) {
    const DcbCase cases[] = {
        {"custom rate", [](TComPort& p) { p.SetBaudRate(brCustom); p.SetCustomBaudRate(250000); },
         [](DCB& d) { d.BaudRate = 250000; }},
        {"custom value unused", [](TComPort& p) { p.SetCustomBaudRate(250000); }, [](DCB&) {}},
        {"115200", [](TComPort& p) { p.SetBaudRate(br115200); }, [](DCB& d) { d.BaudRate = 115200; }},
        {"line", [](TComPort& p) { p.SetDataBits(dbSeven); p.SetStopBits(sbTwoStopBits); p.Parity().SetBits(prEven); },
         [](DCB& d) { d.ByteSize = 7; d.StopBits = TWOSTOPBITS; d.Parity = EVENPARITY; }},
        {"1.5 stop, 5 bits, space", [](TComPort& p) { p.SetStopBits(sbOne5StopBits); p.SetDataBits(dbFive); p.Parity().SetBits(prSpace); },
         [](DCB& d) { d.StopBits = ONE5STOPBITS; d.ByteSize = 5; d.Parity = SPACEPARITY; }},
        {"check", [](TComPort& p) { p.Parity().SetCheck(true); }, [](DCB& d) { d.Flags |= fDCB_Parity; }},
        {"replace without check", [](TComPort& p) { p.Parity().SetReplace(true); p.Parity().SetReplaceChar('?'); },
         [](DCB&) {}},
        {"replace with check",
         [](TComPort& p) { p.Parity().SetCheck(true); p.Parity().SetReplace(true); p.Parity().SetReplaceChar('?'); },
         [](DCB& d) { d.Flags |= fDCB_Parity | fDCB_ErrorChar; d.ErrorChar = '?'; }},
        {"dtr enable", [](TComPort& p) { p.FlowControl().SetControlDTR(dtrEnable); }, [](DCB& d) { d.Flags |= 1u << 4; }},
        {"dtr handshake", [](TComPort& p) { p.FlowControl().SetControlDTR(dtrHandshake); }, [](DCB& d) { d.Flags |= 2u << 4; }},
        {"rts enable", [](TComPort& p) { p.FlowControl().SetControlRTS(rtsEnable); }, [](DCB& d) { d.Flags |= 1u << 12; }},
        {"rts toggle", [](TComPort& p) { p.FlowControl().SetControlRTS(rtsToggle); }, [](DCB& d) { d.Flags |= 3u << 12; }},
        {"hardware", [](TComPort& p) { p.FlowControl().SetFlowControl(fcHardware); },
         [](DCB& d) { d.Flags |= (2u << 12) | fDCB_OutxCtsFlow; }},
        {"software", [](TComPort& p) { p.FlowControl().SetFlowControl(fcSoftware); },
         [](DCB& d) { d.Flags |= fDCB_OutX | fDCB_InX; }},
        {"dsr", [](TComPort& p) { p.FlowControl().SetOutDSRFlow(true); p.FlowControl().SetDSRSensitivity(true); },
         [](DCB& d) { d.Flags |= fDCB_OutxDsrFlow | fDCB_DsrSensitivity; }},
        {"tx continue", [](TComPort& p) { p.FlowControl().SetTxContinueOnXoff(true); },
         [](DCB& d) { d.Flags |= fDCB_TXContinueOnXoff; }},
        {"characters", [](TComPort& p) { p.FlowControl().SetXonChar('a'); p.FlowControl().SetXoffChar('b'); p.SetEventChar('\n'); },
         [](DCB& d) { d.XonChar = 'a'; d.XoffChar = 'b'; d.EvtChar = '\n'; }},
        {"discard null", [](TComPort& p) { p.SetDiscardNull(true); }, [](DCB& d) { d.Flags |= fDCB_Null; }},
        {"limits", [](TComPort& p) { p.Buffer().SetInputSize(4096); }, [](DCB& d) { d.XonLim = d.XoffLim = 1024; }},
        {"odd limits", [](TComPort& p) { p.Buffer().SetInputSize(1002); }, [](DCB& d) { d.XonLim = d.XoffLim = 250; }},
    };
    for (const DcbCase& c : cases) {
        SCOPED_TRACE(c.name);
        TComPort subject(nullptr);
        subject.SetEvents(TComEvents{});
        c.configure(subject);
        EXPECT_EQ(api.CountOf("SetCommState"), 0u);  // a closed port only stores
        subject.Open();
        DCB expected;
        expected.BaudRate = 9600;
        expected.Flags = fDCB_Binary;
        expected.XonLim = expected.XoffLim = 256;
        expected.XonChar = 17;
        expected.XoffChar = 19;
        c.expect(expected);
        const DCB actual = LastDcb();
        EXPECT_EQ(actual.BaudRate, expected.BaudRate);
        EXPECT_EQ(actual.Flags, expected.Flags);
        EXPECT_EQ(actual.XonLim, expected.XonLim);
        EXPECT_EQ(actual.XoffLim, expected.XoffLim);
        EXPECT_EQ(actual.ByteSize, expected.ByteSize);
        EXPECT_EQ(actual.Parity, expected.Parity);
        EXPECT_EQ(actual.StopBits, expected.StopBits);
        EXPECT_EQ(actual.XonChar, expected.XonChar);
        EXPECT_EQ(actual.XoffChar, expected.XoffChar);
        EXPECT_EQ(actual.ErrorChar, expected.ErrorChar);
        EXPECT_EQ(actual.EvtChar, expected.EvtChar);
        subject.Close();
        api.ClearCalls();
    }
}

TEST_F(ComPortDevice, SettersReapplyTheirGroupOnAnOpenPort) {
    port->SetEvents(TComEvents{});
    port->Open();
    api.ClearCalls();
    port->SetBaudRate(br9600);  // unchanged: nothing
    port->Timeouts().SetReadInterval(-1);
    EXPECT_TRUE(api.Calls().empty());
    port->SetBaudRate(br57600);
    port->Timeouts().SetWriteTotalC(5);
    port->Buffer().SetOutputSize(2049);
    port->FlowControl().SetFlowControl(fcCustom);  // applies even when nothing changes
    const std::vector<std::string> expected = {"SetCommState", "SetCommTimeouts", "SetupComm", "SetCommState"};
    EXPECT_EQ(api.CallNames(), expected);
    EXPECT_EQ(api.Calls()[0].dcb.BaudRate, 57600u);
    EXPECT_EQ(api.Calls()[1].timeouts.WriteTotalTimeoutConstant, 5u);
    EXPECT_EQ(api.Calls()[2].arg2, 2048u);

    // A device that refuses keeps the new value stored.
    api.Fail("SetCommState", 22, 1);
    try {
        port->SetDataBits(dbSix);
        FAIL() << "no exception";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ComCode(), CError_SetStateFailed);
        EXPECT_EQ(e.SystemCode(), 22);
        EXPECT_EQ(e.Message(), "SetCommState function failed (win error code: 22)");
    }
    EXPECT_EQ(port->DataBits(), dbSix);
}

TEST_F(ComPortDevice, UpdateBatchReachesTheDeviceOnceAtTheOutermostEnd) {
    port->SetEvents(TComEvents{});
    port->Open();
    api.ClearCalls();
    port->BeginUpdate();
    port->BeginUpdate();
    port->SetBaudRate(br19200);
    port->Parity().SetBits(prOdd);
    port->Timeouts().SetReadInterval(10);
    port->EndUpdate();
    EXPECT_TRUE(api.Calls().empty());
    port->EndUpdate();
    const std::vector<std::string> expected = {"SetupComm", "SetCommState", "SetCommTimeouts"};
    EXPECT_EQ(api.CallNames(), expected);
    EXPECT_EQ(api.Calls()[1].dcb.BaudRate, 19200u);
    EXPECT_EQ(api.Calls()[1].dcb.Parity, ODDPARITY);
    EXPECT_EQ(api.Calls()[2].timeouts.ReadIntervalTimeout, 10u);
    port->EndUpdate();  // surplus
    EXPECT_EQ(api.Calls().size(), 3u);
    EXPECT_EQ(port->UpdateDepth(), 0);
}

TEST_F(ComPortDevice, OpenAndCloseTellLinksAndHandlersInOrder) {
    test::LogAllHandlers(*port, log);
    link.OnConn = [&](TObject*, bool on) { log.Add(std::string("link Conn ") + (on ? "on" : "off")); };
    link.OnCTSChange = [&](TObject*, bool on) { log.Add(std::string("link CTS ") + (on ? "on" : "off")); };
    link.OnDSRChange = [&](TObject*, bool on) { log.Add(std::string("link DSR ") + (on ? "on" : "off")); };
    link.OnRLSDChange = [&](TObject*, bool on) { log.Add(std::string("link RLSD ") + (on ? "on" : "off")); };
    port->RegisterLink(&link);
    api.SetModemStatus(MS_CTS_ON | MS_RLSD_ON);
    port->Open();
    port->Open();  // already open: nothing
    EXPECT_TRUE(port->Connected());
    EXPECT_TRUE(port->WorkerRunning());
    port->Close();
    port->Close();  // already closed: nothing
    const std::vector<std::string> expected = {
        "BeforeOpen", "link Conn on", "AfterOpen",  "link CTS on",  "CTS on",        "link DSR off",
        "DSR off",    "link RLSD on", "RLSD on",    "link CTS off", "link DSR off",  "link RLSD off",
        "CTS off",    "DSR off",      "RLSD off",   "BeforeClose",  "link Conn off", "AfterClose"};
    EXPECT_EQ(log.Entries(), expected);
    // From the abort on: the ending thread clears the event mask and discards both
    // queues before the device is closed. (A wait the thread starts late is no step.)
    std::vector<std::pair<std::string, std::uint32_t>> closing;
    bool aborted = false;
    for (const RecordedCall& call : api.Calls()) {
        aborted = aborted || call.name == "PurgeComm";
        if (aborted && call.name != "WaitCommEvent") closing.emplace_back(call.name, call.arg1);
    }
    const std::vector<std::pair<std::string, std::uint32_t>> expectedClosing = {
        {"PurgeComm", PURGE_TXABORT | PURGE_RXABORT},
        {"SetCommMask", 0},
        {"PurgeComm", PURGE_TXCLEAR | PURGE_RXCLEAR},
        {"CloseHandle", 0}};
    EXPECT_EQ(closing, expectedClosing);
    EXPECT_EQ(api.OpenHandles(), 0);
    EXPECT_EQ(port->DeviceHandle(), INVALID_HANDLE_VALUE);
    port->UnRegisterLink(&link);
}

TEST_F(ComPortDevice, FailedOpenLeavesThePortClosed) {
    test::LogAllHandlers(*port, log);
    port->SetPort("COM12");
    api.Fail("CreateFile", 2);
    try {
        port->Open();
        FAIL() << "no exception";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ComCode(), CError_OpenFailed);
        EXPECT_EQ(e.SystemCode(), 2);
        EXPECT_EQ(e.Message(), "Unable to open com port (win error code: 2)");
    }
    EXPECT_EQ(api.Calls()[0].text, "\\\\.\\COM12");
    EXPECT_EQ(log.Entries(), std::vector<std::string>{"BeforeOpen"});
    EXPECT_FALSE(port->Connected());

    // Settings the device refuses: the handle is closed again.
    api.Succeed("CreateFile");
    const std::pair<const char*, int> refusals[] = {
        {"SetupComm", CError_SetupComFailed}, {"SetCommState", CError_SetStateFailed}, {"SetCommTimeouts", CError_TimeoutsFailed}};
    for (const auto& [call, code] : refusals) {
        api.Fail(call, 22, 1);
        try {
            port->Open();
            ADD_FAILURE() << call;
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ComCode(), code) << call;
        }
        EXPECT_FALSE(port->Connected());
        EXPECT_EQ(api.OpenHandles(), 0);
        EXPECT_EQ(TComThread::LiveCount(), 0);
    }
}

TEST_F(ComPortDevice, PortNameAndLockedProperties) {
    port->SetEvents(TComEvents{});
    port->Open();
    api.ClearCalls();
    port->SetPort("COM1");
    EXPECT_TRUE(api.Calls().empty());
    port->SetPort("/dev/ttyUSB0");
    EXPECT_EQ(api.CountOf("CloseHandle"), 1u);
    ASSERT_EQ(api.CallsNamed("CreateFile").size(), 1u);
    EXPECT_EQ(api.CallsNamed("CreateFile")[0].text, "\\\\.\\/dev/ttyUSB0");
    EXPECT_TRUE(port->Connected());

    port->SetSyncMethod(smThreadSync);  // same value: fine
    try {
        port->SetSyncMethod(smNone);
        FAIL() << "no exception";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ComCode(), CError_ConnChangeProp);
        EXPECT_EQ(e.SystemCode(), -1);
        EXPECT_EQ(e.Message(), "Cannot set property while connected");
    }
    EXPECT_EQ(port->SyncMethod(), smThreadSync);
    EXPECT_THROW(port->SetEventThreadPriority(TThreadPriority::tpHigher), EComPort);
    port->Close();
    port->SetSyncMethod(smNone);
    EXPECT_EQ(port->SyncMethod(), smNone);
}

TEST_F(ComPortDevice, LoadedOpensAStoredConnectionAndShowsItsFailure) {
    test::RecordingInteraction boxes;
    Application().Title = "Portvale";
    port->BeginLoading();
    port->SetConnected(true);
    EXPECT_TRUE(api.Calls().empty());
    port->Loaded();
    EXPECT_TRUE(port->Connected());
    EXPECT_EQ(api.CountOf("CreateFile"), 1u);
    port->Close();

    TComPort failing(nullptr);
    failing.BeginLoading();
    failing.SetConnected(true);
    api.Fail("CreateFile", 13);
    failing.Loaded();
    EXPECT_FALSE(failing.Connected());
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Unable to open com port (win error code: 13)");
    EXPECT_EQ(boxes.shown[0].caption, "Portvale");
}

TEST_F(ComPortDevice, LineControlCalls) {
    port->SetEvents(TComEvents{});
    port->Open();
    const std::tuple<const char*, std::function<void()>, const char*, std::uint32_t> cases[] = {
        {"break on", [&] { port->SetBreak(true); }, "EscapeCommFunction", SETBREAK},
        {"break off", [&] { port->SetBreak(false); }, "EscapeCommFunction", CLRBREAK},
        {"dtr on", [&] { port->SetDTR(true); }, "EscapeCommFunction", SETDTR},
        {"dtr off", [&] { port->SetDTR(false); }, "EscapeCommFunction", CLRDTR},
        {"rts on", [&] { port->SetRTS(true); }, "EscapeCommFunction", SETRTS},
        {"rts off", [&] { port->SetRTS(false); }, "EscapeCommFunction", CLRRTS},
        {"xon", [&] { port->SetXonXoff(true); }, "EscapeCommFunction", SETXON},
        {"xoff", [&] { port->SetXonXoff(false); }, "EscapeCommFunction", SETXOFF},
        {"purge in", [&] { port->ClearBuffer(true, false); }, "PurgeComm", PURGE_RXCLEAR},
        {"purge out", [&] { port->ClearBuffer(false, true); }, "PurgeComm", PURGE_TXCLEAR},
        {"purge none", [&] { port->ClearBuffer(false, false); }, "PurgeComm", 0},
        {"transmit", [&] { port->TransmitChar('\x13'); }, "TransmitCommChar", 0x13},
    };
    for (const auto& [name, action, call, arg] : cases) {
        api.ClearCalls();
        action();
        ASSERT_EQ(api.Calls().size(), 1u) << name;
        EXPECT_EQ(api.Calls()[0].name, call) << name;
        EXPECT_EQ(api.Calls()[0].arg1, arg) << name;
    }
}

TEST_F(ComPortDevice, LineControlFailuresCarryTheSystemCode) {
    port->SetEvents(TComEvents{});
    port->Open();
    const std::tuple<const char*, std::function<void()>, int> cases[] = {
        {"ClearCommError", [&] { port->InputCount(); }, CError_ClearComFailed},
        {"ClearCommError", [&] { port->OutputCount(); }, CError_ClearComFailed},
        {"ClearCommError", [&] { port->StateFlags(); }, CError_ClearComFailed},
        {"ClearCommError", [&] { port->LastErrors(); }, CError_ClearComFailed},
        {"GetCommModemStatus", [&] { port->Signals(); }, CError_ModemStatFailed},
        {"EscapeCommFunction", [&] { port->SetDTR(true); }, CError_EscapeComFailed},
        {"PurgeComm", [&] { port->ClearBuffer(true, true); }, CError_PurgeFailed},
        {"PurgeComm", [&] { port->AbortAllAsync(); }, CError_PurgeFailed},
        {"TransmitCommChar", [&] { port->TransmitChar('x'); }, CError_TransmitFailed},
        {"WriteFile", [&] { port->WriteStr("x"); }, CError_WriteFailed},
        {"ReadFile", [&] { char c; port->Read(&c, 1); }, CError_ReadFailed},
    };
    for (const auto& [call, action, code] : cases) {
        api.Fail(call, 5, 1);
        try {
            action();
            ADD_FAILURE() << call << " did not fail";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ComCode(), code) << call;
            EXPECT_EQ(e.SystemCode(), 5) << call;
            EXPECT_EQ(e.Message(), ComErrorText(code) + " (win error code: 5)");
        }
    }
}

TEST_F(ComPortDevice, QueriesReadTheDeviceState) {
    port->SetEvents(TComEvents{});
    port->Open();
    api.AddInput("abc");
    api.SetOutputQueue(7);
    api.SetStatFlags(0x41);
    EXPECT_EQ(port->InputCount(), 3);
    EXPECT_EQ(port->OutputCount(), 7);
    EXPECT_EQ(port->StateFlags(), 0x41);
    const std::pair<std::uint32_t, TComSignals> signals[] = {
        {0, {}}, {MS_CTS_ON, {csCTS}}, {MS_DSR_ON, {csDSR}}, {MS_RING_ON, {csRing}}, {MS_RLSD_ON, {csRLSD}},
        {0xF0, {csCTS, csDSR, csRing, csRLSD}}};
    for (const auto& [status, expected] : signals) {
        api.SetModemStatus(status);
        EXPECT_EQ(port->Signals(), expected) << status;
    }
    const std::pair<std::uint32_t, TComErrors> errors[] = {
        {CE_FRAME, {ceFrame}}, {CE_OVERRUN, {ceOverrun}}, {CE_RXOVER, {ceRxOver}}, {CE_TXFULL, {ceTxFull}},
        {CE_BREAK, {ceBreak}}, {CE_IOE, {ceIO}},          {CE_MODE, {ceMode}},     {CE_RXPARITY, {}},
        {CE_DNS | CE_PTO, {}}};
    for (const auto& [word, expected] : errors) {
        api.SetLineErrors(word);
        EXPECT_EQ(port->LastErrors(), expected) << word;
    }
    port->Parity().SetCheck(true);
    api.SetLineErrors(CE_RXPARITY | CE_FRAME);
    EXPECT_EQ(port->LastErrors(), (TComErrors{ceRxParity, ceFrame}));
    // The query consumed the errors.
    EXPECT_TRUE(port->LastErrors().Empty());
}

TEST_F(ComPortDevice, CloseCompletesEvenWhenAbortingTransfersFails) {
    test::LogAllHandlers(*port, log);
    port->Open();
    api.Fail("PurgeComm", 5);
    try {
        port->Close();
        FAIL() << "no exception";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ComCode(), CError_PurgeFailed);
    }
    EXPECT_FALSE(port->Connected());
    EXPECT_EQ(api.OpenHandles(), 0);
    EXPECT_EQ(port->EventWorker(), nullptr);
    EXPECT_EQ(log.Entries().back(), "AfterClose");
    port->Open();  // and it opens again
    EXPECT_TRUE(port->Connected());
    // The destructor closes without throwing, whatever the device says.
}

}  // namespace
}  // namespace portvale
