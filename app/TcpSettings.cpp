#include "app/TcpSettings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/MessageFormat.h"
#include "framework/Exceptions.h"

namespace portvale {

void PutFixedText(const std::string& text, std::uint8_t* field, std::size_t limit) {
    const std::size_t n = std::min(text.size(), limit);
    std::memset(field, 0, n + 1);
    std::memcpy(field, text.data(), n);
}

std::string GetFixedText(const std::uint8_t* field, std::size_t limit) {
    std::size_t n = 0;
    while (n < limit && field[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(field), n);
}

std::string TTcpSettings::Host() const { return GetFixedText(bytes.data() + kHostOffset, kHostLimit); }

void TTcpSettings::SetHost(const std::string& host) { PutFixedText(host, bytes.data() + kHostOffset, kHostLimit); }

std::string TTcpSettings::HostText() const {
    const std::string field = Host();
    return IsValidUtf8(field) ? field : Utf8FromLatin1(field);
}

void TTcpSettings::SetHostText(const std::string& text) {
    if (auto latin = Latin1FromUtf8(text)) {
        latin->resize(std::min(latin->size(), kHostLimit));
        // Latin-1 bytes that happen to form UTF-8 ("\xC3\xA9" for "Ã©") would read back
        // as other characters; those hosts are written as UTF-8 instead.
        if (!IsValidUtf8(*latin) || *latin == text.substr(0, latin->size())) {
            SetHost(*latin);
            return;
        }
    }
    std::size_t n = std::min(text.size(), kHostLimit);
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    SetHost(text.substr(0, n));
}

std::int32_t TTcpSettings::ReadInt(std::size_t offset) const {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | bytes[offset + static_cast<std::size_t>(i)];
    return static_cast<std::int32_t>(v);
}

void TTcpSettings::WriteInt(std::size_t offset, std::int32_t value) {
    auto v = static_cast<std::uint32_t>(value);
    for (std::size_t i = 0; i < 4; ++i, v >>= 8) bytes[offset + i] = static_cast<std::uint8_t>(v & 0xFF);
}

TTcpSettings TTcpSettings::Defaults() {
    TTcpSettings s;
    s.SetHost("localhost");
    s.SetPort(5000);
    s.SetSocketMode(1);
    s.SetSerialFlag(0);
    return s;
}

void TTcpSettings::LoadFromFile(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw EFOpenError(path);
    // One record's worth, however the kernel hands it over; a short file is no error.
    std::size_t got = 0;
    while (got < kSize) {
        const ssize_t n = ::read(fd, bytes.data() + got, kSize - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

void TTcpSettings::SaveToFile(const std::string& path) const {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw EFCreateError(path);
    std::size_t done = 0;
    bool ok = true;
    while (done < kSize) {
        const ssize_t n = ::write(fd, bytes.data() + done, kSize - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    // A full disk shows at close on some file systems; a short record is a failure.
    if (::close(fd) != 0) ok = false;
    if (!ok) throw EFCreateError(path);
}

}  // namespace portvale
