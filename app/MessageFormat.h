#pragma once
// The four message formats: typed text to bytes and received bytes to display text.
// Pure functions: no window, no device; the form shows the error boxes.
//
// Text is UTF-8; bytes are a std::string of raw octets. In String format a byte is
// the character with that code (Latin-1) and back.

#include <cstdint>
#include <optional>
#include <string>

namespace portvale {

enum TMessageFormat : int { mfString = 0, mfBinary = 1, mfDecimal = 2, mfHex = 3 };

inline constexpr char sNotBinary[] = "Message is not in Binary Format. Example: 10001000 10001000";
inline constexpr char sNotDecimal[] = "Message is not in Decimal Format. Example: 11 22 33 255";
inline constexpr char sAbove255[] = "The maximum decimal value is 255. Example: 11 22 33 255";
inline constexpr char sNotHex[] = "Message is not in Hex Format. Example: 0D 0A 1B FF";
inline constexpr char sAboveFF[] = "The maximum hex value is FF. Example: 0D 0A 1B FF";

struct TEncodedMessage {
    std::string bytes;
    // Empty on success; otherwise the text of the error box, and bytes is empty.
    std::string error;
};

struct TLineEnds {
    bool carriageReturn = false;
    bool newLine = false;
};

// Every format: the conversion followed by CR and/or LF when it succeeded. An empty
// field between two spaces in Decimal or Hex yields no byte. Binary bits that do not
// make whole bytes are an error: a message cut short would be sent as if complete.
TEncodedMessage ConvertMessage(const std::string& text, int format, TLineEnds ends);

// Received bytes as display text in the given format (an unknown one shows as String).
std::string FormatBytes(const std::string& bytes, int format);
// String format's text: each byte the character with that code, except that control
// bytes other than CR, LF and TAB show as their names in angle brackets ("<NUL>",
// "<ESC>", "<DEL>", and the code for 0x80..0x9F: "<9B>"), so nothing is hidden or cut.
std::string VisibleText(const std::string& bytes);
// The same for one byte.
const std::string& VisibleByte(unsigned char byte);

// UTF-8 text to one byte per character; nullopt names no character when the text
// holds one above U+00FF, which has no single byte. `offending` gets that character.
std::optional<std::string> Latin1FromUtf8(const std::string& text, char32_t* offending = nullptr);
std::string Utf8FromLatin1(const std::string& bytes);
// Whether the bytes are well-formed UTF-8 (shortest forms, no surrogates, at most
// U+10FFFF). Plain ASCII is.
bool IsValidUtf8(const std::string& bytes);

}  // namespace portvale
