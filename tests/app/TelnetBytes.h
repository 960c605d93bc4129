#pragma once
// Bytes of a telnet stream written as numbers, so that IAC, SB and the option codes
// read as they are named.

#include <initializer_list>
#include <string>

namespace portvale::test {

inline std::string B(std::initializer_list<int> bytes) {
    std::string out;
    for (const int b : bytes) out.push_back(static_cast<char>(b));
    return out;
}

}  // namespace portvale::test
