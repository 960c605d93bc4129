#include "app/MessageFormat.h"

#include <cstring>

#include "framework/SysUtils.h"

namespace portvale {

namespace {

TEncodedMessage Failed(const char* text) { return TEncodedMessage{{}, text}; }

bool ParseHexField(const std::string& field, std::uint64_t& value) {
    value = 0;
    for (const char c : field) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        value = value * 16 + static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFull) return false;
    }
    return !field.empty();
}

// Binary: bits run on across spaces, eight to a byte from the top bit; a short last
// group fails the whole message.
bool EncodeBinary(const std::string& text, std::string& out) {
    unsigned current = 0;
    int bits = 0;
    for (const char c : text) {
        if (c == ' ') continue;
        if (c != '0' && c != '1') return false;
        current = (current << 1) | static_cast<unsigned>(c - '0');
        if (++bits == 8) {
            out.push_back(static_cast<char>(current));
            current = 0;
            bits = 0;
        }
    }
    return bits == 0;
}

// Decimal and Hex: fields cut at spaces, one byte each.
const char* EncodeFields(const std::string& text, bool hex, std::string& out) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        const std::string field = text.substr(start, end - start);
        start = end + 1;
        if (field.empty()) continue;
        std::int64_t value;
        if (hex) {
            std::uint64_t unsignedValue;
            if (!ParseHexField(field, unsignedValue)) return sNotHex;
            value = static_cast<std::int64_t>(unsignedValue);
        } else {
            std::int32_t parsed;
            if (!TryStrToInt(field, parsed)) return sNotDecimal;
            value = parsed;
        }
        // A negative value passes and gives its low eight bits: -1 is 0xFF.
        if (value > 255) return hex ? sAboveFF : sAbove255;
        out.push_back(static_cast<char>(value & 0xFF));
    }
    return nullptr;
}

}  // namespace

TEncodedMessage ConvertMessage(const std::string& text, int format, TLineEnds ends) {
    TEncodedMessage result;
    switch (format) {
        case mfBinary:
            if (!EncodeBinary(text, result.bytes)) return Failed(sNotBinary);
            break;
        case mfDecimal:
        case mfHex:
            if (const char* error = EncodeFields(text, format == mfHex, result.bytes)) return Failed(error);
            break;
        default: {
            char32_t offending = 0;
            auto bytes = Latin1FromUtf8(text, &offending);
            if (!bytes) {
                result.error = Format(
                    "The message contains the character U+%04X, which has no single byte. "
                    "In String format only characters up to U+00FF can be sent; use the Hex "
                    "format for other bytes.",
                    static_cast<unsigned>(offending));
                return result;
            }
            result.bytes = std::move(*bytes);
            break;
        }
    }
    if (ends.carriageReturn) result.bytes.push_back('\r');
    if (ends.newLine) result.bytes.push_back('\n');
    return result;
}

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
}  // namespace

std::string FormatBytes(const std::string& bytes, int format) {
    const char* const kHex = kHexDigits;
    std::string out;
    switch (format) {
        case mfBinary:
            out.reserve(bytes.size() * 9);
            for (const char c : bytes) {
                const auto b = static_cast<unsigned char>(c);
                for (int bit = 7; bit >= 0; --bit) out.push_back((b >> bit) & 1 ? '1' : '0');
                out.push_back(' ');
            }
            return out;
        case mfDecimal:
            out.reserve(bytes.size() * 4);
            for (const char c : bytes) {
                out += std::to_string(static_cast<unsigned char>(c));
                out.push_back(' ');
            }
            return out;
        case mfHex:
            out.reserve(bytes.size() * 3);
            for (const char c : bytes) {
                const auto b = static_cast<unsigned char>(c);
                out.push_back(kHex[b >> 4]);
                out.push_back(kHex[b & 15]);
                out.push_back(' ');
            }
            return out;
        default:
            return VisibleText(bytes);
    }
}

namespace {

// ASCII's names of the control codes 0x00..0x1F, then DEL.
constexpr const char* kControlNames[33] = {
    "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",  "VT",  "FF",  "CR",  "SO",  "SI", "DLE",
    "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US",  "DEL"};

// The String format's text of every byte value, built once: a block then costs one
// table look-up and a short copy per byte.
struct VisibleTable {
    char text[256][8];
    unsigned char length[256];
    std::string asString[256];
    VisibleTable() {
        for (int b = 0; b < 256; ++b) {
            std::string t;
            if ((b < 0x20 && b != '\r' && b != '\n' && b != '\t') || b == 0x7F) {
                // Mnemonics in angle brackets: every font has their glyphs, and a zero
                // byte must not end the text.
                t.push_back('<');
                t.append(kControlNames[b == 0x7F ? 32 : b]);
                t.push_back('>');
            } else if (b >= 0x80 && b <= 0x9F) {
                // C1 controls have no names anyone reads and would be invisible: their code.
                t.push_back('<');
                t.push_back(kHexDigits[b >> 4]);
                t.push_back(kHexDigits[b & 15]);
                t.push_back('>');
            } else if (b < 0x80) {
                t.push_back(static_cast<char>(b));
            } else {
                t.push_back(static_cast<char>(0xC0 | (b >> 6)));
                t.push_back(static_cast<char>(0x80 | (b & 0x3F)));
            }
            std::memcpy(text[b], t.data(), t.size());
            length[b] = static_cast<unsigned char>(t.size());
            asString[b] = t;
        }
    }
};

const VisibleTable& Visible() {
    static const VisibleTable table;
    return table;
}

}  // namespace

const std::string& VisibleByte(unsigned char byte) { return Visible().asString[byte]; }

std::string VisibleText(const std::string& bytes) {
    const VisibleTable& table = Visible();
    std::string out(bytes.size() * 8, '\0');
    char* end = out.data();
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        std::memcpy(end, table.text[b], 8);
        end += table.length[b];
    }
    out.resize(static_cast<std::size_t>(end - out.data()));
    return out;
}

std::optional<std::string> Latin1FromUtf8(const std::string& text, char32_t* offending) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        char32_t cp;
        std::size_t length;
        if (lead < 0x80) {
            cp = lead;
            length = 1;
        } else if ((lead & 0xE0) == 0xC0) {
            cp = lead & 0x1F;
            length = 2;
        } else if ((lead & 0xF0) == 0xE0) {
            cp = lead & 0x0F;
            length = 3;
        } else {
            cp = lead & 0x07;
            length = 4;
        }
        if (i + length > text.size()) length = text.size() - i;
        for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        if (cp > 0xFF) {
            if (offending) *offending = cp;
            return std::nullopt;
        }
        out.push_back(static_cast<char>(cp));
        i += length;
    }
    return out;
}

std::string Utf8FromLatin1(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out.push_back(c);
        } else {
            out.push_back(static_cast<char>(0xC0 | (b >> 6)));
            out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
        }
    }
    return out;
}

bool IsValidUtf8(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // Sequence length, the lead's payload, and the least code point that needs
        // that length (anything below is an overlong form).
        std::size_t length = 0;
        char32_t cp = 0, least = 0;
        if ((lead & 0xE0) == 0xC0) {
            length = 2;
            cp = lead & 0x1F;
            least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            cp = lead & 0x0F;
            least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            cp = lead & 0x07;
            least = 0x10000;
        } else {
            return false;
        }
        if (i + length > bytes.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (next & 0x3F);
        }
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

}  // namespace portvale
