#include "app/PeerAccess.h"

#include <arpa/inet.h>

#include <cstring>

#include "framework/Persistent.h"
#include "framework/SysUtils.h"

namespace portvale {

bool TPeerAccess::ParseAddress(const std::string& text, bool& v6, std::array<std::uint8_t, 16>& bytes) {
    bytes.fill(0);
    in_addr a4{};
    if (::inet_pton(AF_INET, text.c_str(), &a4) == 1) {
        v6 = false;
        std::memcpy(bytes.data(), &a4, 4);
        return true;
    }
    in6_addr a6{};
    if (::inet_pton(AF_INET6, text.c_str(), &a6) != 1) return false;
    if (IN6_IS_ADDR_V4MAPPED(&a6)) {
        v6 = false;
        std::memcpy(bytes.data(), a6.s6_addr + 12, 4);
        return true;
    }
    v6 = true;
    std::memcpy(bytes.data(), a6.s6_addr, 16);
    return true;
}

bool TPeerAccess::ParseRange(const std::string& entry, Range& range) {
    const auto slash = entry.find('/');
    if (!ParseAddress(entry.substr(0, slash), range.v6, range.bytes)) return false;
    const int bits = range.v6 ? 128 : 32;
    range.prefix = bits;
    if (slash == std::string::npos) return true;
    const std::string prefix = entry.substr(slash + 1);
    if (prefix.empty() || prefix.size() > 3 || prefix.find_first_not_of("0123456789") != std::string::npos)
        return false;
    range.prefix = std::stoi(prefix);
    return range.prefix <= bits;
}

bool TPeerAccess::Valid(const std::string& entry) {
    Range range;
    return ParseRange(entry, range);
}

TPeerAccess TPeerAccess::Parse(const std::vector<std::string>& entries) {
    TPeerAccess access;
    for (const std::string& entry : entries) {
        Range range;
        if (!ParseRange(entry, range))
            throw EConvertError(Format("'%s' is not an address or a network (a.b.c.d/n, x:y::z/n)", entry.c_str()));
        access.ranges_.push_back(range);
    }
    return access;
}

bool TPeerAccess::Allows(const std::string& address) const {
    if (ranges_.empty()) return true;
    bool v6 = false;
    std::array<std::uint8_t, 16> bytes{};
    if (!ParseAddress(address, v6, bytes)) return false;
    for (const Range& range : ranges_) {
        if (range.v6 != v6) continue;
        const int whole = range.prefix / 8;
        if (std::memcmp(bytes.data(), range.bytes.data(), static_cast<std::size_t>(whole)) != 0) continue;
        const int rest = range.prefix % 8;
        if (rest == 0) return true;
        const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
        if ((bytes[static_cast<std::size_t>(whole)] & mask) == (range.bytes[static_cast<std::size_t>(whole)] & mask))
            return true;
    }
    return false;
}

}  // namespace portvale
