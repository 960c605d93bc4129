#pragma once
// Internal to platform/registry: one root's keys and values in memory, and the text
// file that holds them. The file reads:
//
//     REGEDIT4
//
//     [HKEY_CURRENT_USER\Software\Portvale\ComPort1]
//     "Port"="COM1"
//     "CustomBaudRate"=dword:0003d090
//
// one section per key (a key without values is a section without lines), "@" for the
// unnamed value, strings with \\ \" \n \r \t and \xHH escapes, integers as eight hex
// digits; blank lines and lines starting with ';' are skipped.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/registry/Registry.h"

namespace portvale::reg::detail {

struct Value {
    std::string name;
    DWORD type = REG_SZ;
    std::string text;       // REG_SZ
    std::uint32_t number = 0;  // REG_DWORD
};

struct Key {
    std::string path;  // "" is the root itself; spelled as first created
    std::vector<Value> values;  // in the order they were first set

    Value* FindValue(const std::string& name);
};

// Keys compare without regard to case; a key implies every key above it.
class Hive {
public:
    Key* Find(const std::string& path);
    // The key, created with every missing key above it; created tells whether the
    // key itself was missing.
    Key& Ensure(const std::string& path, bool* created = nullptr);
    const std::vector<Key>& Keys() const { return keys_; }

private:
    std::vector<Key> keys_;
};

// Case-insensitive name comparison, as Windows compares key and value names.
bool SameName(const std::string& a, const std::string& b);

// The hive's text, and back. Parse fails (false) on a line it cannot read, naming
// its number in *badLine.
std::string FormatHive(const Hive& hive, const std::string& rootName);
bool ParseHive(const std::string& text, const std::string& rootName, Hive& out, int* badLine);

// Reads a hive file; a missing file is an empty hive.
LSTATUS ReadHive(const std::string& fileName, const std::string& rootName, Hive& out);

// Reads the hive under the store's lock, lets change edit it, and writes it back
// atomically when change succeeded and said it changed something (*changed). The
// directory is created as needed.
LSTATUS UpdateHive(const std::string& fileName, const std::string& rootName,
                   const std::function<LSTATUS(Hive&, bool* changed)>& change);

// The one errno-to-registry-error mapper of the store; the errno is kept for
// RegLastSystemError.
LSTATUS StatusFromErrno(int error);
void RecordSystemError(int error);

}  // namespace portvale::reg::detail
