#include "platform/ProfileFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <strings.h>
#include <vector>

namespace portvale {

namespace {

std::string Trim(const std::string& s) {
    const char* blanks = " \t\r";
    const auto first = s.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(blanks);
    return s.substr(first, last - first + 1);
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ::strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

struct Lines {
    std::vector<std::string> text;  // without line ends
    std::string eol = "\n";
    bool finalEol = true;
};

// False only when the file exists but cannot be read.
bool ReadLines(const std::string& fileName, Lines& out, bool& exists) {
    std::ifstream in(fileName, std::ios::binary);
    if (!in) {
        exists = false;
        return errno == ENOENT;
    }
    exists = true;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return false;
    const std::string all = buffer.str();
    if (all.find("\r\n") != std::string::npos) out.eol = "\r\n";
    std::size_t start = 0;
    while (start < all.size()) {
        auto end = all.find('\n', start);
        if (end == std::string::npos) {
            out.text.push_back(all.substr(start));
            out.finalEol = false;
            break;
        }
        std::string line = all.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.text.push_back(std::move(line));
        start = end + 1;
    }
    return true;
}

// A section header "[name]" (blanks allowed around it); returns the name.
std::optional<std::string> SectionName(const std::string& line) {
    const std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[') return std::nullopt;
    const auto close = t.find(']');
    if (close == std::string::npos) return std::nullopt;
    return Trim(t.substr(1, close - 1));
}

// For a "key=value" line, the key.
std::optional<std::string> KeyName(const std::string& line) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) return std::nullopt;
    return Trim(line.substr(0, eq));
}

struct SectionRange {
    std::size_t header;  // index of the header line
    std::size_t end;     // one past the section's last line
};

std::optional<SectionRange> FindSection(const Lines& lines, const std::string& section) {
    for (std::size_t i = 0; i < lines.text.size(); ++i) {
        auto name = SectionName(lines.text[i]);
        if (!name || !SameName(*name, section)) continue;
        std::size_t end = i + 1;
        while (end < lines.text.size() && !SectionName(lines.text[end])) ++end;
        return SectionRange{i, end};
    }
    return std::nullopt;
}

bool WriteLines(const std::string& fileName, const Lines& lines) {
    std::string all;
    for (std::size_t i = 0; i < lines.text.size(); ++i) {
        all += lines.text[i];
        if (i + 1 < lines.text.size() || lines.finalEol) all += lines.eol;
    }
    // Write a sibling file and rename it over the old one, so a failure half-way
    // (disk full) never leaves a truncated settings file behind.
    const std::string temp = fileName + ".tmp~";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < all.size()) {
        const ssize_t n = ::write(fd, all.data() + done, all.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int saved = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            errno = saved;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 || std::rename(temp.c_str(), fileName.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return false;
    }
    return true;
}

}  // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::string& fileName) {
    Lines lines;
    bool exists = false;
    std::string result = def;
    if (ReadLines(fileName, lines, exists) && exists) {
        if (auto range = FindSection(lines, section)) {
            for (std::size_t i = range->header + 1; i < range->end; ++i) {
                auto name = KeyName(lines.text[i]);
                if (!name || !SameName(*name, key)) continue;
                const std::string& line = lines.text[i];
                result = Trim(line.substr(line.find('=') + 1));
                if (result.size() >= 2 &&
                    ((result.front() == '"' && result.back() == '"') ||
                     (result.front() == '\'' && result.back() == '\'')))
                    result = result.substr(1, result.size() - 2);
                break;
            }
        }
    }
    if (result.size() > kProfileValueMax) result.resize(kProfileValueMax);
    return result;
}

bool WritePrivateProfileString(const std::string& section, const std::optional<std::string>& key,
                               const std::optional<std::string>& value,
                               const std::string& fileName) {
    Lines lines;
    bool exists = false;
    if (!ReadLines(fileName, lines, exists)) return false;
    auto range = FindSection(lines, section);
    if (!key) {
        if (!range) return true;
        lines.text.erase(lines.text.begin() + range->header, lines.text.begin() + range->end);
        return WriteLines(fileName, lines);
    }
    if (!range) {
        if (!value) return true;
        lines.text.push_back("[" + section + "]");
        lines.text.push_back(*key + "=" + *value);
        lines.finalEol = true;
        return WriteLines(fileName, lines);
    }
    for (std::size_t i = range->header + 1; i < range->end; ++i) {
        auto name = KeyName(lines.text[i]);
        if (!name || !SameName(*name, *key)) continue;
        if (value)
            lines.text[i] = *key + "=" + *value;
        else
            lines.text.erase(lines.text.begin() + i);
        return WriteLines(fileName, lines);
    }
    if (!value) return true;
    // A new key goes after the section's last non-blank line, so the blank line
    // that separates it from the next section stays where it is.
    std::size_t at = range->end;
    while (at > range->header + 1 && Trim(lines.text[at - 1]).empty()) --at;
    lines.text.insert(lines.text.begin() + at, *key + "=" + *value);
    if (at == lines.text.size() - 1) lines.finalEol = true;
    return WriteLines(fileName, lines);
}

}  // namespace portvale
