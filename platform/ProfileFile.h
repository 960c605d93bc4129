#pragma once
// Profile (ini) files with the behaviour of the Windows profile functions: the file,
// the section and the key are created on first write, an existing key is rewritten in
// place, section and key names match without regard to case, values are read up to
// 2047 characters. Lines of the file that are not touched keep their text and order.

#include <optional>
#include <string>

namespace portvale {

constexpr std::size_t kProfileValueMax = 2047;

// The value of [section] key in fileName, or def when the file, section or key is
// missing. Blanks around names and values are ignored, one pair of enclosing quotes
// is removed, and the result is cut to 2047 characters.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::string& fileName);

// Writes key=value into [section]. A missing value deletes the key; a missing key
// deletes the whole section. False when the file cannot be read or written (errno
// tells why); the old file is then left as it was.
bool WritePrivateProfileString(const std::string& section, const std::optional<std::string>& key,
                               const std::optional<std::string>& value,
                               const std::string& fileName);

}  // namespace portvale
