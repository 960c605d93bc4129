#pragma once
// The framework's registry object: a root, at most one current key opened by path,
// and typed reads and writes of the current key's values.
//
// Paths: a key name that starts with a backslash is taken from the root; any other
// is taken from the current key when one is open, else from the root. Opening
// reports failure by its result (LastError tells why); reads and writes that fail
// raise ERegistryException.

#include <cstdint>
#include <string>

#include "framework/BoundEvent.h"
#include "framework/Exceptions.h"
#include "platform/registry/Registry.h"

namespace portvale {

// "Failed to get data for '%s'", "Failed to set data for '%s'", "Invalid data type for '%s'"
class ERegistryException : public Exception {
public:
    using Exception::Exception;
};

class TRegistry : public TObject {
public:
    // The current user's hive, opened for reading and writing.
    TRegistry() = default;
    explicit TRegistry(reg::REGSAM access) : access_(access) {}
    ~TRegistry() override;
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    reg::HKEY RootKey() const { return rootKey_; }
    // Closes the current key when the root changes.
    void SetRootKey(reg::HKEY root);
    reg::REGSAM Access() const { return access_; }
    void SetAccess(reg::REGSAM access) { access_ = access; }
    reg::HKEY CurrentKey() const { return currentKey_; }
    const std::string& CurrentPath() const { return currentPath_; }
    // The registry's error number of the last open.
    reg::LSTATUS LastError() const { return lastError_; }

    // Makes the key current, creating it (and the keys above it) when canCreate is set
    // and it is missing. False leaves the current key as it was.
    bool OpenKey(const std::string& key, bool canCreate);
    bool OpenKeyReadOnly(const std::string& key);
    void CloseKey();

    bool ValueExists(const std::string& name) const;
    // A missing value (or no current key) reads as empty text; a value that is not
    // text raises.
    std::string ReadString(const std::string& name) const;
    // Raises when the value is missing or is not a 32-bit integer.
    std::int32_t ReadInteger(const std::string& name) const;
    // Raise when the registry refuses the value (no current key, a read-only key).
    void WriteString(const std::string& name, const std::string& value);
    void WriteInteger(const std::string& name, std::int32_t value);
    bool DeleteValue(const std::string& name);

private:
    bool Open(const std::string& key, bool canCreate, reg::REGSAM access);

    reg::HKEY rootKey_ = reg::HKEY_CURRENT_USER;
    reg::REGSAM access_ = reg::KEY_ALL_ACCESS;
    reg::HKEY currentKey_ = 0;
    std::string currentPath_;
    reg::LSTATUS lastError_ = reg::ERROR_SUCCESS;
};

}  // namespace portvale
