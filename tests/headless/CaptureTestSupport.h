#pragma once
// Reading capture files back in tests: each line split into its fields, the bytes
// taken from the hex column, and the blocks put together again.

#include <cstdint>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace portvale::test {

// One line as CaptureFormat.h lays it out.
struct CaptureLine {
    std::string stamp;
    std::string direction;
    std::string peer;
    std::size_t length = 0;
    std::size_t offset = 0;
    std::string bytes;  // from the hex column
    std::string text;   // the printable column, between the bars
    bool note = false;  // "<stamp> # ..."
    std::string noteText;
};

inline const std::regex& CaptureLinePattern() {
    static const std::regex pattern(
        R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}[+-]\d{4} (tcp>com|com>tcp)( \d+\.\d+\.\d+\.\d+:\d+)? len=\d+ )"
        R"([0-9a-f]{8}  ([0-9a-f]{2} ){1,8}( ?[0-9a-f]{2})*[ ]+\|[ -~]{1,16}\|$)");
    return pattern;
}

inline std::optional<CaptureLine> ParseCaptureLine(const std::string& line) {
    std::istringstream in(line);
    CaptureLine out;
    std::string word;
    if (!(in >> out.stamp >> word)) return std::nullopt;
    if (word == "#") {
        out.note = true;
        std::getline(in, out.noteText);
        if (!out.noteText.empty() && out.noteText[0] == ' ') out.noteText.erase(0, 1);
        return out;
    }
    out.direction = word;
    if (!(in >> word)) return std::nullopt;
    if (word.rfind("len=", 0) != 0) {
        out.peer = word;
        if (!(in >> word) || word.rfind("len=", 0) != 0) return std::nullopt;
    }
    out.length = std::stoul(word.substr(4));
    if (!(in >> word)) return std::nullopt;
    out.offset = std::stoul(word, nullptr, 16);
    const auto bar = line.find('|');
    if (bar == std::string::npos || line.back() != '|') return std::nullopt;
    out.text = line.substr(bar + 1, line.size() - bar - 2);
    std::istringstream hex(line.substr(static_cast<std::size_t>(in.tellg()), bar - static_cast<std::size_t>(in.tellg())));
    while (hex >> word) out.bytes += static_cast<char>(std::stoul(word, nullptr, 16));
    return out;
}

inline std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The bytes of one direction, in file order, from every data line of the files given
// (oldest first); notes are skipped.
inline std::string CapturedBytes(const std::vector<std::string>& paths, const std::string& direction) {
    std::string bytes;
    for (const std::string& path : paths)
        for (const std::string& line : ReadLines(path))
            if (auto parsed = ParseCaptureLine(line); parsed && !parsed->note && parsed->direction == direction)
                bytes += parsed->bytes;
    return bytes;
}

}  // namespace portvale::test
