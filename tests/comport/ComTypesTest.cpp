// Settings vocabulary: text forms and their fallbacks, event masks, error texts, and
// the settings objects' own rules (flow-control summary, even sizes, Assign).
#include <gtest/gtest.h>

#include "comport/ComPort.h"
#include "framework/SysUtils.h"

namespace portvale {
namespace {

// Every value's text, both ways, and the text each value comes back from.
TEST(ComTextForms, EveryValueRoundTrips) {
    const char* baud[] = {"Custom", "110",   "300",   "600",   "1200",   "2400",   "4800",   "9600",
                          "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(BaudRateToStr(static_cast<TBaudRate>(i)), baud[i]);
        EXPECT_EQ(StrToBaudRate(baud[i]), static_cast<TBaudRate>(i));
    }
    const char* stop[] = {"1", "1.5", "2"};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(StrToStopBits(StopBitsToStr(static_cast<TStopBits>(i))), i);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(StopBitsToStr(static_cast<TStopBits>(i)), stop[i]);
    const char* data[] = {"5", "6", "7", "8"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(DataBitsToStr(static_cast<TDataBits>(i)), data[i]);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(StrToDataBits(data[i]), i);
    const char* parity[] = {"None", "Odd", "Even", "Mark", "Space"};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(ParityToStr(static_cast<TParityBits>(i)), parity[i]);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(StrToParity(parity[i]), i);
    const char* flow[] = {"Hardware", "Software", "None", "Custom"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(FlowControlToStr(static_cast<TFlowControl>(i)), flow[i]);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(StrToFlowControl(flow[i]), i);
    const char* dtr[] = {"Disable", "Enable", "Handshake"};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(DTRToSetting(static_cast<TDTRFlowControl>(i)), dtr[i]);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(SettingToDTR(dtr[i]), i);
    const char* rts[] = {"Disable", "Enable", "Handshake", "Toggle"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(RTSToSetting(static_cast<TRTSFlowControl>(i)), rts[i]);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(SettingToRTS(rts[i]), i);
}

// A rate the user names: a number, which is the enumeration's value when it has one
// and a custom rate otherwise; anything else names no rate and writes nothing.
TEST(ComTextForms, TypedRatesAreNumbersOfBitsPerSecond) {
    struct Row {
        const char* text;
        bool named;
        TBaudRate rate;
        std::int32_t custom;
    };
    const Row rows[] = {
        {"9600", true, br9600, 1},        {" 256000 ", true, br256000, 1}, {"250000", true, brCustom, 250000},
        {"4000000", true, brCustom, 4000000}, {"2147483647", true, brCustom, 2147483647},
        {"0", false, br110, 1},           {"-9600", false, br110, 1},     {"Custom", false, br110, 1},
        {"", false, br110, 1},            {"96OO", false, br110, 1},       {"$2580", false, br110, 1},
        {"9600.5", false, br110, 1},      {"2147483648", false, br110, 1},
    };
    for (const Row& row : rows) {
        TBaudRate rate = br110;
        std::int32_t custom = 1;
        EXPECT_EQ(TryTextToBaudRate(row.text, rate, custom), row.named) << row.text;
        EXPECT_EQ(rate, row.rate) << row.text;
        EXPECT_EQ(custom, row.custom) << row.text;
        if (row.named) {
            EXPECT_EQ(BaudRateText(rate, custom), Trim(row.text)) << "and back";
        }
    }
}

struct TextCase {
    const char* text;
    int expected;
};

TEST(ComTextForms, CaseIsIgnoredAndOtherTextsFallBack) {
    const TextCase baud[] = {{"custom", brCustom}, {"CUSTOM", brCustom}, {"", br9600},
                             {"9600 ", br9600},    {"115200", br115200}, {"1.5", br9600}};
    for (const auto& c : baud) EXPECT_EQ(StrToBaudRate(c.text), c.expected) << c.text;
    const TextCase flow[] = {{"none", fcNone}, {"SOFTWARE", fcSoftware}, {"xon", fcCustom}, {"", fcCustom}};
    for (const auto& c : flow) EXPECT_EQ(StrToFlowControl(c.text), c.expected) << c.text;
    const TextCase parity[] = {{"EVEN", prEven}, {"space", prSpace}, {"E", prNone}};
    for (const auto& c : parity) EXPECT_EQ(StrToParity(c.text), c.expected) << c.text;
    const TextCase stop[] = {{"1.50", sbOneStopBit}, {"2", sbTwoStopBits}, {"", sbOneStopBit}};
    for (const auto& c : stop) EXPECT_EQ(StrToStopBits(c.text), c.expected) << c.text;
    EXPECT_EQ(StrToDataBits("9"), dbEight);
    EXPECT_EQ(SettingToDTR("HANDSHAKE"), dtrHandshake);
    EXPECT_EQ(SettingToDTR("on"), dtrDisable);
    EXPECT_EQ(SettingToRTS("toggle"), rtsToggle);
    EXPECT_EQ(SettingToRTS("x"), rtsDisable);
}

TEST(ComTextForms, OnlyYesIsTrue) {
    EXPECT_EQ(FlagToSetting(true), "Yes");
    EXPECT_EQ(FlagToSetting(false), "No");
    const std::pair<const char*, bool> cases[] = {
        {"Yes", true}, {"yes", true}, {"YES", true}, {"True", false}, {"1", false}, {"", false}, {"Yes ", false}};
    for (const auto& [text, expected] : cases) EXPECT_EQ(SettingToFlag(text), expected) << text;
}

TEST(ComTextForms, Characters) {
    const std::pair<int, const char*> toText[] = {
        {17, "#17"}, {0, "#0"}, {32, "#32"}, {33, "!"}, {65, "A"}, {127, "\x7F"}, {128, "#128"}, {200, "#200"}, {255, "#255"}};
    for (const auto& [code, text] : toText) EXPECT_EQ(CharToSetting(static_cast<char>(code)), text) << code;
    const std::pair<const char*, int> toChar[] = {
        {"#19", 19}, {"#300", 44}, {"#A", 0}, {"", 0},  {"#", 35},  {"AB", 65},
        {"#$41", 0x41}, {"#0x1F", 31}, {"# 7", 7}, {"#-1", 255}, {"#17x", 0}};
    for (const auto& [text, code] : toChar)
        EXPECT_EQ(static_cast<unsigned char>(SettingToChar(text)), code) << text;
}

TEST(ComEventMask, EachEventHasItsBitAndUnknownBitsAreIgnored) {
    const std::pair<TComEvent, std::uint32_t> bits[] = {
        {evRxChar, 0x0001}, {evRxFlag, 0x0002}, {evTxEmpty, 0x0004}, {evCTS, 0x0008},  {evDSR, 0x0010},
        {evRLSD, 0x0020},   {evBreak, 0x0040},  {evError, 0x0080},   {evRing, 0x0100}, {evRx80Full, 0x0400}};
    for (const auto& [event, bit] : bits) {
        EXPECT_EQ(EventsToMask(TComEvents{event}), bit);
        EXPECT_EQ(MaskToEvents(bit), TComEvents{event});
    }
    EXPECT_EQ(EventsToMask(kAllComEvents), 0x05FFu);
    EXPECT_EQ(MaskToEvents(0xFFFFFFFF), kAllComEvents);
    EXPECT_TRUE(MaskToEvents(0x0200 | 0x0800 | 0x10000).Empty());
}

TEST(ComDeviceValues, TimeoutsAndLineParameters) {
    EXPECT_EQ(TimeoutToDevice(-1), 4294967295u);
    EXPECT_EQ(TimeoutToDevice(-2), 4294967294u);
    EXPECT_EQ(TimeoutToDevice(0), 0u);
    EXPECT_EQ(TimeoutToDevice(1000), 1000u);
    EXPECT_EQ(BaudRateToDevice(brCustom, 250000), 250000u);
    EXPECT_EQ(BaudRateToDevice(br110, 1), 110u);
    EXPECT_EQ(BaudRateToDevice(br256000, 1), 256000u);
    EXPECT_EQ(DataBitsToDevice(dbFive), 5);
    EXPECT_EQ(StopBitsToDevice(sbTwoStopBits), 2);
    EXPECT_EQ(ParityToDevice(prSpace), 4);
}

TEST(EComPortTest, MessagesWithAndWithoutSystemCode) {
    const EComPort withCode(CError_OpenFailed, 2);
    EXPECT_EQ(withCode.Message(), "Unable to open com port (win error code: 2)");
    EXPECT_EQ(withCode.ComCode(), 1);
    EXPECT_EQ(withCode.SystemCode(), 2);
    const EComPort plain(CError_ConnChangeProp);
    EXPECT_EQ(plain.Message(), "Cannot set property while connected");
    EXPECT_EQ(plain.SystemCode(), -1);
    EXPECT_EQ(plain.ComCode(), 14);
    const char* texts[] = {"Unable to open com port",
                           "WriteFile function failed",
                           "ReadFile function failed",
                           "Invalid Async parameter",
                           "PurgeComm function failed",
                           "Unable to get async status",
                           "SetCommState function failed",
                           "SetCommTimeouts failed",
                           "SetupComm function failed",
                           "ClearCommError function failed",
                           "GetCommModemStatus function failed",
                           "EscapeCommFunction function failed",
                           "TransmitCommChar function failed",
                           "Cannot set property while connected",
                           "EnumPorts function failed",
                           "Failed to store settings",
                           "Failed to load settings",
                           "Link (un)registration failed",
                           "Cannot change led state if ComPort is selected",
                           "Cannot wait for event if event thread is created",
                           "WaitForEvent method failed",
                           "A component is linked to OnRxBuf event",
                           "Registry error"};
    for (int code = 1; code <= 23; ++code) EXPECT_EQ(EComPort(code).Message(), texts[code - 1]) << code;
    EXPECT_EQ(EComPort(CError_WaitFailed, 110).Message(), "WaitForEvent method failed (win error code: 110)");
}

TEST(ComFlowControlTest, SummaryFollowsRtsCtsAndXonXoffOnly) {
    TComFlowControl flow;
    EXPECT_EQ(flow.FlowControl(), fcNone);
    flow.SetFlowControl(fcHardware);
    EXPECT_EQ(flow.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(flow.OutCTSFlow());
    EXPECT_EQ(flow.FlowControl(), fcHardware);
    flow.SetControlDTR(dtrHandshake);
    flow.SetOutDSRFlow(true);
    flow.SetDSRSensitivity(true);
    flow.SetTxContinueOnXoff(true);
    flow.SetXonChar('a');
    EXPECT_EQ(flow.FlowControl(), fcHardware);
    flow.SetXonXoffOut(true);
    EXPECT_EQ(flow.FlowControl(), fcCustom);
    flow.SetFlowControl(fcCustom);  // changes nothing
    EXPECT_TRUE(flow.XonXoffOut());
    EXPECT_EQ(flow.ControlRTS(), rtsHandshake);
    flow.SetFlowControl(fcSoftware);
    EXPECT_TRUE(flow.XonXoffIn() && flow.XonXoffOut());
    EXPECT_EQ(flow.ControlRTS(), rtsDisable);
    EXPECT_FALSE(flow.OutCTSFlow());
    EXPECT_EQ(flow.ControlDTR(), dtrHandshake);  // never part of the summary
    EXPECT_EQ(flow.FlowControl(), fcSoftware);
    flow.SetFlowControl(fcNone);
    EXPECT_EQ(flow.FlowControl(), fcNone);
    flow.SetControlRTS(rtsEnable);
    EXPECT_EQ(flow.FlowControl(), fcCustom);
}

TEST(ComBufferTest, OddPositiveSizesAreMadeEven) {
    TComBuffer buffer;
    const std::pair<int, int> cases[] = {{4097, 4096}, {1025, 1024}, {1, 0}, {-3, -3}, {2048, 2048}, {0, 0}};
    for (const auto& [given, stored] : cases) {
        buffer.SetInputSize(given);
        buffer.SetOutputSize(given);
        EXPECT_EQ(buffer.InputSize(), stored) << given;
        EXPECT_EQ(buffer.OutputSize(), stored) << given;
    }
}

TEST(ComSettingsAssign, CopiesValuesButNotThePortAndRefusesOtherKinds) {
    TComParity source;
    source.SetBits(prMark);
    source.SetCheck(true);
    source.SetReplace(true);
    source.SetReplaceChar('?');
    TComParity dest;
    dest.Assign(source);
    EXPECT_EQ(dest.Bits(), prMark);
    EXPECT_TRUE(dest.Check() && dest.Replace());
    EXPECT_EQ(dest.ReplaceChar(), '?');

    TComTimeouts timeouts;
    timeouts.SetReadInterval(5);
    timeouts.SetWriteTotalC(7);
    TComTimeouts timeoutsCopy;
    timeoutsCopy.Assign(timeouts);
    EXPECT_EQ(timeoutsCopy.ReadInterval(), 5);
    EXPECT_EQ(timeoutsCopy.WriteTotalConstant(), 7);
    EXPECT_EQ(timeoutsCopy.WriteTotalMultiplier(), 100);

    TComBuffer buffer;
    EXPECT_THROW(buffer.Assign(timeouts), EConvertError);
    EXPECT_EQ(buffer.InputSize(), 1024);
}

}  // namespace
}  // namespace portvale
