#include "framework/IniFile.h"

#include "framework/Exceptions.h"
#include "framework/SysUtils.h"
#include "platform/ProfileFile.h"

namespace portvale {

std::string TIniFile::ReadString(const std::string& section, const std::string& ident,
                                 const std::string& fallback) const {
    return GetPrivateProfileString(section, ident, fallback, fileName_);
}

std::int32_t TIniFile::ReadInteger(const std::string& section, const std::string& ident,
                                   std::int32_t fallback) const {
    const std::string text = ReadString(section, ident, "");
    return text.empty() ? fallback : StrToIntDef(text, fallback);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& ident, bool fallback) const {
    return ReadInteger(section, ident, fallback ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& ident,
                           const std::string& value) {
    if (!WritePrivateProfileString(section, ident, value, fileName_))
        throw EIniFileException(Format("Unable to write to %s", fileName_.c_str()));
}

void TIniFile::WriteInteger(const std::string& section, const std::string& ident,
                            std::int32_t value) {
    WriteString(section, ident, IntToStr(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& ident, bool value) {
    WriteString(section, ident, value ? "1" : "0");
}

void TIniFile::EraseSection(const std::string& section) {
    if (!WritePrivateProfileString(section, std::nullopt, std::nullopt, fileName_))
        throw EIniFileException(Format("Unable to write to %s", fileName_.c_str()));
}

void TIniFile::DeleteKey(const std::string& section, const std::string& ident) {
    WritePrivateProfileString(section, ident, std::nullopt, fileName_);
}

}  // namespace portvale
