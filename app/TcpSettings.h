#pragma once
// "TCP.SET": the application's 184-byte settings record. No header, no version;
// integers little-endian. Bytes the application does not set (the reserved area from
// 73 on, and whatever follows the host's terminating zero) pass from the file read
// into the file written unchanged.
//
//   0  64  host, zero-terminated (up to 63 bytes: Latin-1 or UTF-8; older files hold up to 15)
//  64   4  TCP port as typed (signed)
//  68   4  socket mode: item index of "TCP Socket Mode" (-1: none)
//  72   1  serial flag: 0 off, any other value on
//  73 111  reserved

#include <array>
#include <cstdint>
#include <string>

namespace portvale {

inline constexpr char kTcpSettingsFileName[] = "TCP.SET";

struct TTcpSettings {
    static constexpr std::size_t kSize = 184;
    static constexpr std::size_t kHostOffset = 0;
    static constexpr std::size_t kHostSize = 64;
    static constexpr std::size_t kPortOffset = 64;
    static constexpr std::size_t kModeOffset = 68;
    static constexpr std::size_t kSerialFlagOffset = 72;
    // The longest host kept: the field less its terminating zero.
    static constexpr std::size_t kHostLimit = kHostSize - 1;

    std::array<std::uint8_t, kSize> bytes{};

    // Host text as bytes of the field (one byte per character).
    std::string Host() const;
    void SetHost(const std::string& host);
    // The host as UTF-8 text, as the window shows and takes it. Written as single-byte
    // characters when every character has one (what older readers expect) and those
    // bytes cannot be taken for UTF-8, else as UTF-8, cut to kHostLimit bytes on a
    // character boundary. Read as UTF-8 when the field is valid UTF-8, else one byte
    // per character, so each form reads back as it was written.
    std::string HostText() const;
    void SetHostText(const std::string& text);
    std::int32_t Port() const { return ReadInt(kPortOffset); }
    void SetPort(std::int32_t value) { WriteInt(kPortOffset, value); }
    std::int32_t SocketMode() const { return ReadInt(kModeOffset); }
    void SetSocketMode(std::int32_t value) { WriteInt(kModeOffset, value); }
    std::uint8_t SerialFlag() const { return bytes[kSerialFlagOffset]; }
    void SetSerialFlag(std::uint8_t value) { bytes[kSerialFlagOffset] = value; }

    // The record a first start writes: "localhost", 5000, Client, serial off.
    static TTcpSettings Defaults();

    // Reads up to kSize bytes over the record; a shorter file leaves the rest as it
    // was. EFOpenError "Cannot open file %s" when the file cannot be opened.
    void LoadFromFile(const std::string& path);
    // Creates the file anew with the whole record. EFCreateError "Cannot create file
    // %s" when it cannot be created or written.
    void SaveToFile(const std::string& path) const;

private:
    std::int32_t ReadInt(std::size_t offset) const;
    void WriteInt(std::size_t offset, std::int32_t value);
};

// Fixed-field text: n = min(length, limit); bytes 0..n are zeroed, the first n
// characters copied, byte n is the terminating zero; bytes after n stay.
void PutFixedText(const std::string& text, std::uint8_t* field, std::size_t limit);
// The characters up to the first zero byte, at most limit of them.
std::string GetFixedText(const std::uint8_t* field, std::size_t limit);

}  // namespace portvale
