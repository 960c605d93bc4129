#pragma once
// Who may connect to a listening bridge: addresses and networks, IPv4 or IPv6. A
// peer of IPv4 seen through a dual-stack listener (::ffff:a.b.c.d) is matched as
// the IPv4 address it is, so "10.0.0.0/8" admits it and "::ffff:0:0/96" is never
// needed.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace portvale {

class TPeerAccess {
public:
    // Everyone.
    TPeerAccess() = default;
    // Entries "10.1.2.3", "192.168.10.0/24", "::1", "fe80::/10". An empty list
    // admits everyone. Throws EConvertError naming the first entry that is none.
    static TPeerAccess Parse(const std::vector<std::string>& entries);
    // Whether the text is an address or a network Parse takes.
    static bool Valid(const std::string& entry);

    // `address` as the socket layer writes it ("127.0.0.1", "::1", "::ffff:10.0.0.5");
    // an address that cannot be read is refused when the list restricts anyone.
    bool Allows(const std::string& address) const;
    bool Restricted() const { return !ranges_.empty(); }

private:
    struct Range {
        bool v6 = false;
        std::array<std::uint8_t, 16> bytes{};
        int prefix = 0;
    };
    static bool ParseRange(const std::string& entry, Range& range);
    static bool ParseAddress(const std::string& text, bool& v6, std::array<std::uint8_t, 16>& bytes);

    std::vector<Range> ranges_;
};

}  // namespace portvale
