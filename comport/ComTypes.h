#pragma once
// The serial port's settings vocabulary: line parameters, events, signals and errors
// as enumerations and bit sets, their device values, and the text forms in which
// settings are stored and offered to the user.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace portvale {

enum TBaudRate : std::uint8_t {
    brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200, br38400,
    br56000, br57600, br115200, br128000, br256000
};
enum TStopBits : std::uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : std::uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : std::uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : std::uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : std::uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl : std::uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComEvent : std::uint8_t {
    evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full
};
enum TComSignal : std::uint8_t { csCTS, csDSR, csRing, csRLSD };
enum TComError : std::uint8_t { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };
enum TSyncMethod : std::uint8_t { smThreadSync, smWindowSync, smNone };
enum TStoreType : std::uint8_t { stRegistry, stIniFile };
enum TStoredProp : std::uint8_t { spBasic, spFlowControl, spBuffer, spTimeouts, spParity, spOthers };
enum TComLinkEvent : std::uint8_t { leConn, leCTS, leDSR, leRLSD, leRing, leRx, leTx, leTxEmpty, leRxFlag };
enum TOperationKind : std::uint8_t { okWrite, okRead };

// A set of enumeration values, element n at bit n.
template <typename E, typename Bits>
class TSet {
public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> elements) {
        for (E e : elements) bits_ = static_cast<Bits>(bits_ | Bit(e));
    }
    static constexpr TSet FromBits(Bits bits) {
        TSet s;
        s.bits_ = bits;
        return s;
    }
    constexpr Bits ToBits() const { return bits_; }
    constexpr bool Contains(E e) const { return (bits_ & Bit(e)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr void Include(E e) { bits_ = static_cast<Bits>(bits_ | Bit(e)); }
    constexpr void Exclude(E e) { bits_ = static_cast<Bits>(bits_ & ~Bit(e)); }
    friend constexpr bool operator==(TSet a, TSet b) { return a.bits_ == b.bits_; }
    friend constexpr TSet operator|(TSet a, TSet b) { return FromBits(static_cast<Bits>(a.bits_ | b.bits_)); }

private:
    static constexpr Bits Bit(E e) { return static_cast<Bits>(Bits{1} << static_cast<unsigned>(e)); }
    Bits bits_ = 0;
};

using TComEvents = TSet<TComEvent, std::uint16_t>;
using TComSignals = TSet<TComSignal, std::uint8_t>;
using TComErrors = TSet<TComError, std::uint8_t>;
using TStoredProps = TSet<TStoredProp, std::uint8_t>;

inline constexpr TComEvents kAllComEvents{evRxChar, evTxEmpty, evRxFlag, evRing,  evBreak,
                                          evCTS,    evDSR,     evError,  evRLSD,  evRx80Full};

// Device values.
std::uint32_t BaudRateToDevice(TBaudRate rate, std::int32_t customBaudRate);
std::uint8_t DataBitsToDevice(TDataBits bits);
std::uint8_t StopBitsToDevice(TStopBits bits);
std::uint8_t ParityToDevice(TParityBits bits);
// -1 means "no limit" to the device: the all-ones 32-bit value. Others pass bit for bit.
std::uint32_t TimeoutToDevice(std::int32_t timeout);

// Event sets and the device's 32-bit event mask; unknown mask bits are ignored.
std::uint32_t EventsToMask(TComEvents events);
TComEvents MaskToEvents(std::uint32_t mask);

// Text forms. Text to value compares without regard to case and falls back to a fixed
// value for any other text.
std::string BaudRateToStr(TBaudRate value);
TBaudRate StrToBaudRate(const std::string& text);        // br9600
// A rate as a number of bits per second: the value's own text, or the custom rate's
// number for brCustom ("250000").
std::string BaudRateText(TBaudRate rate, std::int32_t customBaudRate);
// A rate the user names: a number of bits per second (surrounding blanks ignored)
// becomes its TBaudRate when it has one, else brCustom with the number as the custom
// rate (customBaudRate is left alone for a rate of the enumeration). False, and
// nothing written, for any other text, zero and numbers past the 32-bit range.
bool TryTextToBaudRate(const std::string& text, TBaudRate& rate, std::int32_t& customBaudRate);
// The rates offered for choice, as texts, in ascending order: every rate of the
// enumeration and the faster ones common Linux adapters make (FTDI, CP210x, CH34x).
std::vector<std::string> OfferedBaudRates();
std::string StopBitsToStr(TStopBits value);
TStopBits StrToStopBits(const std::string& text);        // sbOneStopBit
std::string DataBitsToStr(TDataBits value);
TDataBits StrToDataBits(const std::string& text);        // dbEight
std::string ParityToStr(TParityBits value);
TParityBits StrToParity(const std::string& text);        // prNone
std::string FlowControlToStr(TFlowControl value);
TFlowControl StrToFlowControl(const std::string& text);  // fcCustom
std::string DTRToSetting(TDTRFlowControl value);
TDTRFlowControl SettingToDTR(const std::string& text);   // dtrDisable
std::string RTSToSetting(TRTSFlowControl value);
TRTSFlowControl SettingToRTS(const std::string& text);   // rtsDisable
std::string FlagToSetting(bool value);
bool SettingToFlag(const std::string& text);             // only "Yes" is true
// Printable characters 33..127 stand for themselves; every other code is "#" and its
// decimal code.
std::string CharToSetting(char value);
char SettingToChar(const std::string& text);

}  // namespace portvale
