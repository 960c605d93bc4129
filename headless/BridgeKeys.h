#pragma once
// One bridge's settings, and the one table of the keys that set them. The
// configuration file's key KEY and `portvale --headless`'s option --KEY are the same
// setting: both readers take its type, range and default from here, ask the same
// check of a value, and --help and the documentation list what the table holds, so
// the two roads cannot come to read one value differently. A setting that only one
// road has says so, as does one whose default differs between them.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace portvale::headless {

struct BridgeConfig {
    std::string name;
    // The serial side; unset line settings are the port's own (9600 8N1, no flow).
    // "pty:PATH" is a virtual device: a pseudo-terminal whose slave PATH links to.
    std::string serial;
    int ptyMode = 0660;
    std::string ptyGroup = "dialout";
    std::optional<std::int32_t> baud;
    std::optional<int> dataBits;  // 5..8
    std::optional<int> parity;    // TParityBits
    std::optional<int> stopBits;  // TStopBits
    std::optional<int> flow;      // TFlowControl
    // The TCP side: exactly one of them, "ADDR:PORT" ("[::]:4001" for IPv6).
    std::string listen;
    std::string connect;
    bool rfc2217 = false;
    int keepAliveSeconds = 60;
    int reconnectSeconds = 2;
    std::optional<std::string> capture;
    int captureMaxMb = 0;
    bool log = false;
    // Clients of a listening bridge.
    int clients = 1;
    bool share = false;
    bool kickOld = false;
    std::uint64_t maxLag = 1 << 20;
    std::vector<std::string> allow;  // addresses and networks ("10.0.0.0/8", "::1")
    // TLS: a listening bridge with a certificate and key speaks it; a connecting one
    // with `tls`. PEM files; an empty CA is the system's store.
    bool tls = false;
    std::string tlsCert;
    std::string tlsKey;
    std::string tlsClientCa;
    std::string tlsCa;
    std::string tlsMinVersion = "1.2";

    bool operator==(const BridgeConfig&) const = default;
};

// Bytes in one "MB" of capture-max.
inline constexpr std::uint64_t kCaptureMegabyte = std::uint64_t{1000} * 1000;
// `clients` on the command line when it is not given: as many as come.
inline constexpr int kAnyNumberOfClients = 0x7FFFFFFF;
// The top of a range that has none worth stating (any baud rate the device makes).
inline constexpr std::int64_t kNoLimit = 0x7FFFFFFF;

enum class Road : std::uint8_t { File = 1, CommandLine = 2, Both = 3 };

enum class KeyKind : std::uint8_t {
    Flag,         // true or false; on the command line the option alone
    Number,       // a whole number from low to high
    Choice,       // one of `choices`, by name
    Text,         // any text
    File,         // a file's or a device's name: the command line refuses an empty
                  // one, which a file takes as none, to undo what [defaults] gave
    Name,         // a bridge's name: never empty, never in [defaults]
    Address,      // "ADDR:PORT"
    Listen,       // "ADDR:PORT" that is resolved, once, to the addresses to bind
    Networks,     // addresses and networks; on the command line separated by commas
    Permissions,  // file permissions from low to high, in a file 0o660 or "0660"
};

struct KeyChoice {
    const char* name;
    int value;
};

// Where a bridge keeps the setting; none for a setting that its one road keeps.
using KeyField = std::variant<std::monostate, bool BridgeConfig::*, int BridgeConfig::*,
                              std::optional<int> BridgeConfig::*, std::uint64_t BridgeConfig::*,
                              std::string BridgeConfig::*, std::optional<std::string> BridgeConfig::*,
                              std::vector<std::string> BridgeConfig::*>;
static_assert(std::is_same_v<std::int32_t, int>, "baud is kept as an int");

struct BridgeKey {
    const char* name;  // the file's key; the option is "--" + name
    KeyKind kind;
    Road road = Road::Both;
    bool service = false;  // a key of the file's [service], not of a bridge
    KeyField field{};
    std::int64_t low = 0, high = 0;        // Number, Permissions
    std::span<const KeyChoice> choices{};  // Choice
    // The command line's words: the value's name in --help, what a wrong number is
    // not ("a number of seconds"; none: one of the numbers) or what an empty file
    // name lacks ("a file name"), an example of an address.
    const char* metavar = nullptr;
    const char* what = nullptr;
    const char* example = nullptr;
    // Where the command line's default is not a bridge's.
    std::optional<std::int64_t> commandLineDefault{};
    const char* commandLineDefaultText = nullptr;
    // --help's text, wrapped; "{default}" and "{choices}" are filled in.
    const char* help = nullptr;

    bool On(Road r) const { return (static_cast<int>(road) & static_cast<int>(r)) != 0; }
};

// Every key, in the order --help lists them.
std::span<const BridgeKey> BridgeKeys();
// The key of that name read on that road; null when the road has none.
const BridgeKey* FindKey(std::string_view name, Road road);

// A value as a road read it, before it is checked: true, a whole number, text (the
// name of a choice too), or a list.
using KeyValue = std::variant<bool, std::int64_t, std::string, std::vector<std::string>>;

struct KeyProblem {
    enum Kind : std::uint8_t { None, Range, Choice, Empty, Address, Network, Permissions, Listen, Control };
    KeyProblem(Kind k = None, std::string why = {}, std::size_t at = 0) : kind(k), detail(std::move(why)), index(at) {}
    Kind kind;
    std::string detail;  // why a listen address is none; which control character
    std::size_t index;   // the list's entry that is no network or holds the character
    explicit operator bool() const { return kind != None; }
};

// What is wrong with the value `road` read for `key`, apart from where a listen
// address leads.
KeyProblem CheckValue(const BridgeKey& key, const KeyValue& value, Road road);
// A checked value into the bridge's field (a choice by its value; an empty name
// into an optional one as none).
void Store(const BridgeKey& key, const KeyValue& value, BridgeConfig& bridge);

// The field's value as the file writes it ("60", "true", "0o660", "even"); empty
// when unset or the key has no field.
std::string ValueText(const BridgeKey& key, const BridgeConfig& bridge);
// The default on that road, as ValueText writes it ("any number" where it says so).
std::string DefaultText(const BridgeKey& key, Road road);
// "0 to 86400", "1 to 2^40", "1 or more".
std::string RangeText(const BridgeKey& key);
// The names of the choices, or of the numbers of a small range, joined by `between`.
std::string ChoicesText(const BridgeKey& key, const char* between);
const KeyChoice* FindChoice(const BridgeKey& key, std::string_view name);

// "ADDR:PORT" split, the address without brackets; false when it is not one.
bool SplitAddressPort(const std::string& text, std::string& address, int& port);

}  // namespace portvale::headless
