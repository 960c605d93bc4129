#pragma once
// An ini-file object over the profile files: strings and integers by section and key.

#include <cstdint>
#include <string>

namespace portvale {

class TIniFile {
public:
    explicit TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}
    virtual ~TIniFile() = default;

    const std::string& FileName() const { return fileName_; }

    virtual std::string ReadString(const std::string& section, const std::string& ident,
                                   const std::string& fallback) const;
    // The value parsed as a 32-bit integer (see TryStrToInt); fallback when the key is
    // missing or its text is not an integer.
    virtual std::int32_t ReadInteger(const std::string& section, const std::string& ident,
                                     std::int32_t fallback) const;
    virtual bool ReadBool(const std::string& section, const std::string& ident, bool fallback) const;

    // Raise EIniFileException "Unable to write to <file>" when the write fails.
    virtual void WriteString(const std::string& section, const std::string& ident,
                             const std::string& value);
    virtual void WriteInteger(const std::string& section, const std::string& ident,
                              std::int32_t value);
    virtual void WriteBool(const std::string& section, const std::string& ident, bool value);

    void EraseSection(const std::string& section);
    void DeleteKey(const std::string& section, const std::string& ident);

private:
    std::string fileName_;
};

}  // namespace portvale
