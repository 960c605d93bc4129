#include "platform/registry/RegistryStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <strings.h>

namespace portvale::reg::detail {

namespace {

constexpr const char* kHeader = "REGEDIT4";

std::string Trim(const std::string& s) {
    const char* blanks = " \t\r";
    const auto first = s.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(blanks);
    return s.substr(first, last - first + 1);
}

void AppendQuoted(std::string& out, const std::string& text) {
    static const char* hex = "0123456789abcdef";
    out += '"';
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (u < 0x20 || u == 0x7F) {
                    out += "\\x";
                    out += hex[u >> 4];
                    out += hex[u & 15];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads a quoted text starting at line[pos] == '"'; pos ends after the closing quote.
bool ReadQuoted(const std::string& line, std::size_t& pos, std::string& out) {
    if (pos >= line.size() || line[pos] != '"') return false;
    ++pos;
    out.clear();
    while (pos < line.size()) {
        const char c = line[pos++];
        if (c == '"') return true;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (pos >= line.size()) return false;
        const char e = line[pos++];
        switch (e) {
            case '\\': out += '\\'; break;
            case '"': out += '"'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'x': {
                if (pos + 2 > line.size()) return false;
                const int hi = HexDigit(line[pos]);
                const int lo = HexDigit(line[pos + 1]);
                if (hi < 0 || lo < 0) return false;
                out += static_cast<char>(hi * 16 + lo);
                pos += 2;
                break;
            }
            default: return false;
        }
    }
    return false;
}

bool ParseValueLine(const std::string& line, Value& value) {
    std::size_t pos = 0;
    if (line[0] == '@') {
        value.name.clear();
        pos = 1;
    } else if (!ReadQuoted(line, pos, value.name)) {
        return false;
    }
    if (pos >= line.size() || line[pos] != '=') return false;
    ++pos;
    if (pos < line.size() && line[pos] == '"') {
        value.type = REG_SZ;
        return ReadQuoted(line, pos, value.text) && pos == line.size();
    }
    const std::string rest = line.substr(pos);
    if (rest.size() < 7 || rest.size() > 14 || ::strncasecmp(rest.c_str(), "dword:", 6) != 0) return false;
    std::uint32_t number = 0;
    for (std::size_t i = 6; i < rest.size(); ++i) {
        const int d = HexDigit(rest[i]);
        if (d < 0) return false;
        number = number * 16 + static_cast<std::uint32_t>(d);
    }
    value.type = REG_DWORD;
    value.number = number;
    return true;
}

// The key path of a section line "[ROOT\path]", or false when it is not one of this root.
bool ParseSectionLine(const std::string& line, const std::string& rootName, std::string& path) {
    if (line.size() < 2 || line.front() != '[' || line.back() != ']') return false;
    const std::string inner = line.substr(1, line.size() - 2);
    if (inner.size() < rootName.size() || ::strncasecmp(inner.c_str(), rootName.c_str(), rootName.size()) != 0)
        return false;
    if (inner.size() == rootName.size()) {
        path.clear();
        return true;
    }
    if (inner[rootName.size()] != '\\') return false;
    path = inner.substr(rootName.size() + 1);
    return !path.empty() && path.back() != '\\' && path.find("\\\\") == std::string::npos;
}

bool MakeDirectories(const std::string& dir) {
    if (dir.empty()) return true;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        errno = ENOTDIR;
        return false;
    }
    const auto slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(dir.substr(0, slash))) return false;
    // The configuration directory holds the user's settings: private, as XDG asks.
    return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

std::string DirectoryOf(const std::string& fileName) {
    const auto slash = fileName.find_last_of('/');
    return slash == std::string::npos ? std::string() : fileName.substr(0, slash);
}

// Writes a temporary sibling and renames it over the file: rename replaces the name
// in one step, so readers and a crash see the old text or the new one. The data are
// flushed before the rename, or a crash soon after could leave the new name pointing
// at blocks never written.
LSTATUS WriteAtomically(const std::string& fileName, const std::string& text) {
    std::string temp = fileName + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return StatusFromErrno(errno);
    auto fail = [&](int error) {
        ::close(fd);
        ::unlink(temp.c_str());
        return StatusFromErrno(error);
    };
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail(n < 0 ? errno : EIO);
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) return fail(errno);
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return StatusFromErrno(error);
    }
    if (std::rename(temp.c_str(), fileName.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return StatusFromErrno(error);
    }
    return ERROR_SUCCESS;
}

// Serialises read-modify-write cycles between processes. A lock on the store file
// itself would not do: the rename swaps that file for another.
class StoreLock {
public:
    explicit StoreLock(const std::string& fileName) {
        fd_ = ::open((fileName + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            error_ = errno;
            return;
        }
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno == EINTR) continue;
            error_ = errno;
            return;
        }
    }
    ~StoreLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    int Error() const { return error_; }

private:
    int fd_ = -1;
    int error_ = 0;
};

}  // namespace

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ::strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

Value* Key::FindValue(const std::string& name) {
    for (auto& v : values)
        if (SameName(v.name, name)) return &v;
    return nullptr;
}

Key* Hive::Find(const std::string& path) {
    for (auto& k : keys_)
        if (SameName(k.path, path)) return &k;
    return nullptr;
}

Key& Hive::Ensure(const std::string& path, bool* created) {
    if (created) *created = false;
    if (Key* k = Find(path)) return *k;
    // Every key above it exists first, so a file lists parents before children.
    for (std::size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1)) {
        const std::string above = path.substr(0, at);
        if (!Find(above)) keys_.push_back(Key{above, {}});
    }
    if (created) *created = true;
    keys_.push_back(Key{path, {}});
    return keys_.back();
}

std::string FormatHive(const Hive& hive, const std::string& rootName) {
    std::string out = kHeader;
    out += '\n';
    for (const auto& key : hive.Keys()) {
        out += "\n[" + rootName;
        if (!key.path.empty()) out += "\\" + key.path;
        out += "]\n";
        for (const auto& v : key.values) {
            if (v.name.empty())
                out += '@';
            else
                AppendQuoted(out, v.name);
            out += '=';
            if (v.type == REG_DWORD) {
                char digits[16];
                std::snprintf(digits, sizeof digits, "dword:%08x", v.number);
                out += digits;
            } else {
                AppendQuoted(out, v.text);
            }
            out += '\n';
        }
    }
    return out;
}

bool ParseHive(const std::string& text, const std::string& rootName, Hive& out, int* badLine) {
    Hive hive;
    Key* current = nullptr;
    std::size_t start = 0;
    int number = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        ++number;
        if (line.empty() || line[0] == ';' || (number == 1 && line == kHeader)) continue;
        std::string path;
        Value value;
        if (line[0] == '[') {
            if (!ParseSectionLine(line, rootName, path)) {
                if (badLine) *badLine = number;
                return false;
            }
            current = &hive.Ensure(path);
        } else if (current && ParseValueLine(line, value)) {
            if (Value* old = current->FindValue(value.name))
                *old = value;
            else
                current->values.push_back(value);
        } else {
            if (badLine) *badLine = number;
            return false;
        }
    }
    out = std::move(hive);
    return true;
}

LSTATUS ReadHive(const std::string& fileName, const std::string& rootName, Hive& out) {
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            out = Hive{};
            return ERROR_SUCCESS;
        }
        return StatusFromErrno(errno);
    }
    std::string text;
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return StatusFromErrno(error);
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ParseHive(text, rootName, out, nullptr) ? ERROR_SUCCESS : ERROR_BADDB;
}

LSTATUS UpdateHive(const std::string& fileName, const std::string& rootName,
                   const std::function<LSTATUS(Hive&, bool* changed)>& change) {
    if (!MakeDirectories(DirectoryOf(fileName))) return StatusFromErrno(errno);
    StoreLock lock(fileName);
    if (lock.Error()) return StatusFromErrno(lock.Error());
    Hive hive;
    if (const LSTATUS rc = ReadHive(fileName, rootName, hive); rc != ERROR_SUCCESS) return rc;
    bool changed = false;
    if (const LSTATUS rc = change(hive, &changed); rc != ERROR_SUCCESS || !changed) return rc;
    return WriteAtomically(fileName, FormatHive(hive, rootName));
}

LSTATUS StatusFromErrno(int error) {
    RecordSystemError(error);
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS: return ERROR_ACCESS_DENIED;
        case ENOMEM: return ERROR_OUTOFMEMORY;
        default: return ERROR_REGISTRY_IO_FAILED;
    }
}

}  // namespace portvale::reg::detail
