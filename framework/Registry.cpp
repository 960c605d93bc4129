#include "framework/Registry.h"

#include "framework/SysUtils.h"

namespace portvale {

using namespace reg;

namespace {

[[noreturn]] void Raise(const char* format, const std::string& name) {
    throw ERegistryException(Format(format, name.c_str()));
}

}  // namespace

TRegistry::~TRegistry() { CloseKey(); }

void TRegistry::SetRootKey(HKEY root) {
    if (root == rootKey_) return;
    CloseKey();
    rootKey_ = root;
}

bool TRegistry::Open(const std::string& key, bool canCreate, REGSAM access) {
    const bool relative = key.empty() || key.front() != '\\';
    std::string path = relative ? key : key.substr(1);
    while (!path.empty() && path.back() == '\\') path.pop_back();
    const HKEY base = relative && currentKey_ ? currentKey_ : rootKey_;
    HKEY opened = 0;
    lastError_ = canCreate && !path.empty() ? RegCreateKeyEx(base, path, access, &opened, nullptr)
                                            : RegOpenKeyEx(base, path, 0, access, &opened);
    if (lastError_ != ERROR_SUCCESS) return false;
    if (relative && currentKey_ && !currentPath_.empty())
        path = path.empty() ? currentPath_ : currentPath_ + "\\" + path;
    CloseKey();
    currentKey_ = opened;
    currentPath_ = path;
    return true;
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) { return Open(key, canCreate, access_); }

bool TRegistry::OpenKeyReadOnly(const std::string& key) { return Open(key, false, KEY_READ); }

void TRegistry::CloseKey() {
    if (currentKey_) RegCloseKey(currentKey_);
    currentKey_ = 0;
    currentPath_.clear();
}

bool TRegistry::ValueExists(const std::string& name) const {
    return RegQueryValueEx(currentKey_, name, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

std::string TRegistry::ReadString(const std::string& name) const {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueEx(currentKey_, name, &type, nullptr, &size) != ERROR_SUCCESS) return {};
    if (type != REG_SZ) Raise("Invalid data type for '%s'", name);
    std::string text(size, '\0');
    if (RegQueryValueEx(currentKey_, name, &type, text.data(), &size) != ERROR_SUCCESS)
        Raise("Failed to get data for '%s'", name);
    text.resize(size);
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

std::int32_t TRegistry::ReadInteger(const std::string& name) const {
    DWORD type = REG_NONE;
    if (RegQueryValueEx(currentKey_, name, &type, nullptr, nullptr) != ERROR_SUCCESS)
        Raise("Failed to get data for '%s'", name);
    if (type != REG_DWORD) Raise("Invalid data type for '%s'", name);
    std::int32_t value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueEx(currentKey_, name, &type, &value, &size) != ERROR_SUCCESS)
        Raise("Failed to get data for '%s'", name);
    return value;
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
    if (RegSetValueEx(currentKey_, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1)) !=
        ERROR_SUCCESS)
        Raise("Failed to set data for '%s'", name);
}

void TRegistry::WriteInteger(const std::string& name, std::int32_t value) {
    if (RegSetValueEx(currentKey_, name, REG_DWORD, &value, sizeof value) != ERROR_SUCCESS)
        Raise("Failed to set data for '%s'", name);
}

bool TRegistry::DeleteValue(const std::string& name) {
    return RegDeleteValue(currentKey_, name) == ERROR_SUCCESS;
}

}  // namespace portvale
