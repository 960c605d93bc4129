#include "comport/ComTypes.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "framework/SysUtils.h"
#include "platform/serial/SerialApi.h"

namespace portvale {

namespace {

constexpr std::array<const char*, 16> kBaudRateTexts = {
    "Custom", "110",   "300",   "600",   "1200",   "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<std::uint32_t, 16> kBaudRates = {
    0, 110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
constexpr std::array<const char*, 3> kStopBitsTexts = {"1", "1.5", "2"};
constexpr std::array<const char*, 4> kDataBitsTexts = {"5", "6", "7", "8"};
constexpr std::array<const char*, 5> kParityTexts = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<const char*, 4> kFlowControlTexts = {"Hardware", "Software", "None", "Custom"};
constexpr std::array<const char*, 3> kDTRTexts = {"Disable", "Enable", "Handshake"};
constexpr std::array<const char*, 4> kRTSTexts = {"Disable", "Enable", "Handshake", "Toggle"};

// The device's mask bit of each event, in the order of TComEvent.
constexpr std::array<std::uint32_t, 10> kEventMasks = {
    EV_RXCHAR, EV_TXEMPTY, EV_RXFLAG, EV_RING, EV_BREAK, EV_CTS, EV_DSR, EV_ERR, EV_RLSD, EV_RX80FULL};

template <typename E, std::size_t N>
std::string ToText(const std::array<const char*, N>& texts, E value) {
    const auto index = static_cast<std::size_t>(value);
    return index < N ? texts[index] : "";
}

template <typename E, std::size_t N>
E FromText(const std::array<const char*, N>& texts, const std::string& text, E fallback) {
    const std::string upper = UpperCase(text);
    for (std::size_t i = 0; i < N; ++i)
        if (UpperCase(texts[i]) == upper) return static_cast<E>(i);
    return fallback;
}

}  // namespace

std::uint32_t BaudRateToDevice(TBaudRate rate, std::int32_t customBaudRate) {
    if (rate == brCustom) return static_cast<std::uint32_t>(customBaudRate);
    return kBaudRates.at(static_cast<std::size_t>(rate));
}

std::uint8_t DataBitsToDevice(TDataBits bits) { return static_cast<std::uint8_t>(5 + bits); }
std::uint8_t StopBitsToDevice(TStopBits bits) { return static_cast<std::uint8_t>(bits); }
std::uint8_t ParityToDevice(TParityBits bits) { return static_cast<std::uint8_t>(bits); }

std::uint32_t TimeoutToDevice(std::int32_t timeout) { return static_cast<std::uint32_t>(timeout); }

std::uint32_t EventsToMask(TComEvents events) {
    std::uint32_t mask = 0;
    for (std::size_t i = 0; i < kEventMasks.size(); ++i)
        if (events.Contains(static_cast<TComEvent>(i))) mask |= kEventMasks[i];
    return mask;
}

TComEvents MaskToEvents(std::uint32_t mask) {
    TComEvents events;
    for (std::size_t i = 0; i < kEventMasks.size(); ++i)
        if (mask & kEventMasks[i]) events.Include(static_cast<TComEvent>(i));
    return events;
}

std::string BaudRateToStr(TBaudRate value) { return ToText(kBaudRateTexts, value); }
TBaudRate StrToBaudRate(const std::string& text) { return FromText(kBaudRateTexts, text, br9600); }
std::string BaudRateText(TBaudRate rate, std::int32_t customBaudRate) {
    return rate == brCustom ? IntToStr(customBaudRate) : BaudRateToStr(rate);
}

bool TryTextToBaudRate(const std::string& text, TBaudRate& rate, std::int32_t& customBaudRate) {
    const std::string number = Trim(text);
    if (number.empty() || !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    std::int32_t value = 0;
    if (!TryStrToInt(number, value) || value <= 0) return false;
    for (std::size_t i = 1; i < kBaudRates.size(); ++i) {
        if (kBaudRates[i] == static_cast<std::uint32_t>(value)) {
            rate = static_cast<TBaudRate>(i);
            return true;
        }
    }
    rate = brCustom;
    customBaudRate = value;
    return true;
}

std::vector<std::string> OfferedBaudRates() {
    // Beyond the enumeration's rates, which stop at 256000, these need a custom rate.
    static constexpr std::uint32_t kFaster[] = {230400, 460800, 921600, 1000000, 1500000, 2000000, 3000000, 4000000};
    std::vector<std::uint32_t> rates(kBaudRates.begin() + 1, kBaudRates.end());
    rates.insert(rates.end(), std::begin(kFaster), std::end(kFaster));
    std::sort(rates.begin(), rates.end());
    std::vector<std::string> texts;
    for (std::uint32_t r : rates) texts.push_back(std::to_string(r));
    return texts;
}

std::string StopBitsToStr(TStopBits value) { return ToText(kStopBitsTexts, value); }
TStopBits StrToStopBits(const std::string& text) { return FromText(kStopBitsTexts, text, sbOneStopBit); }
std::string DataBitsToStr(TDataBits value) { return ToText(kDataBitsTexts, value); }
TDataBits StrToDataBits(const std::string& text) { return FromText(kDataBitsTexts, text, dbEight); }
std::string ParityToStr(TParityBits value) { return ToText(kParityTexts, value); }
TParityBits StrToParity(const std::string& text) { return FromText(kParityTexts, text, prNone); }
std::string FlowControlToStr(TFlowControl value) { return ToText(kFlowControlTexts, value); }
TFlowControl StrToFlowControl(const std::string& text) {
    return FromText(kFlowControlTexts, text, fcCustom);
}
std::string DTRToSetting(TDTRFlowControl value) { return ToText(kDTRTexts, value); }
TDTRFlowControl SettingToDTR(const std::string& text) { return FromText(kDTRTexts, text, dtrDisable); }
std::string RTSToSetting(TRTSFlowControl value) { return ToText(kRTSTexts, value); }
TRTSFlowControl SettingToRTS(const std::string& text) { return FromText(kRTSTexts, text, rtsDisable); }

std::string FlagToSetting(bool value) { return value ? "Yes" : "No"; }
bool SettingToFlag(const std::string& text) { return UpperCase(text) == "YES"; }

std::string CharToSetting(char value) {
    const auto code = static_cast<unsigned char>(value);
    if (code >= 33 && code <= 127) return std::string(1, value);
    return "#" + IntToStr(code);
}

char SettingToChar(const std::string& text) {
    if (text.empty()) return 0;
    if (text[0] == '#' && text.size() > 1) {
        std::int32_t code = 0;
        if (!TryStrToInt(text.substr(1), code)) return 0;
        return static_cast<char>(static_cast<std::uint32_t>(code) & 0xFF);
    }
    return text[0];
}

}  // namespace portvale
