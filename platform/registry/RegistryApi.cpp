// The registry calls: open-key handles, and the routing of each key either to a root's
// store file or to the synthesised HKEY_LOCAL_MACHINE\HARDWARE branch.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/registry/Registry.h"
#include "platform/registry/RegistryStore.h"
#include "platform/registry/SerialDevices.h"

namespace portvale::reg {

using namespace detail;

namespace {

thread_local int tSystemError = 0;

struct KeyRecord {
    HKEY root = 0;
    std::string path;  // below the root; "" is the root itself
    REGSAM access = 0;
    bool hardware = false;  // synthesised and read-only
    // SERIALCOMM's values, taken when the key is opened, so an index walk sees one
    // list even when a device comes or goes half-way.
    std::vector<SerialPortEntry> ports;
};

// One lock for the handle table and the store: calls are short and rare.
std::mutex gMutex;
std::map<HKEY, KeyRecord> gKeys;
HKEY gNextHandle = 0x100;
std::string gRootOverride;

bool IsRoot(HKEY key) { return key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE; }

const char* RootName(HKEY root) {
    return root == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

std::string HomeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return ".";
}

std::string RootLocked() {
    if (!gRootOverride.empty()) return gRootOverride;
    // XDG asks to ignore a relative XDG_CONFIG_HOME.
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') return std::string(xdg) + "/portvale";
    return HomeDirectory() + "/.config/portvale";
}

std::string HiveFile(HKEY root) {
    return RootLocked() + (root == HKEY_LOCAL_MACHINE ? "/machine.reg" : "/user.reg");
}

// Every call starts here, so RegLastSystemError speaks of this call only.
void Enter() { tSystemError = 0; }

LSTATUS JoinPath(const std::string& base, std::string sub, std::string& out) {
    while (!sub.empty() && sub.back() == '\\') sub.pop_back();
    if (sub.empty()) {
        out = base;
        return ERROR_SUCCESS;
    }
    if (sub.front() == '\\' || sub.find("\\\\") != std::string::npos) return ERROR_BAD_PATHNAME;
    // A key name is one line of the store's file.
    for (const char c : sub)
        if (static_cast<unsigned char>(c) < 0x20) return ERROR_INVALID_PARAMETER;
    out = base.empty() ? sub : base + "\\" + sub;
    return ERROR_SUCCESS;
}

LSTATUS Lookup(HKEY key, KeyRecord& out) {
    if (IsRoot(key)) {
        out = KeyRecord{key, "", KEY_ALL_ACCESS, false, {}};
        return ERROR_SUCCESS;
    }
    const auto it = gKeys.find(key);
    if (it == gKeys.end()) return ERROR_INVALID_HANDLE;
    out = it->second;
    return ERROR_SUCCESS;
}

// The synthesised branch: HARDWARE and HARDWARE\DEVICEMAP, empty, and SERIALCOMM.
enum class HardwareKey { kNone, kBranch, kSerialComm, kUnknown };

HardwareKey HardwareKind(HKEY root, const std::string& path) {
    if (root != HKEY_LOCAL_MACHINE || !SameName(path.substr(0, path.find('\\')), "HARDWARE"))
        return HardwareKey::kNone;
    if (SameName(path, "HARDWARE\\DEVICEMAP\\SERIALCOMM")) return HardwareKey::kSerialComm;
    if (SameName(path, "HARDWARE") || SameName(path, "HARDWARE\\DEVICEMAP")) return HardwareKey::kBranch;
    return HardwareKey::kUnknown;
}

LSTATUS OpenPath(HKEY root, const std::string& path, REGSAM access, bool create, HKEY* result,
                 DWORD* disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    KeyRecord record{root, path, access, false, {}};
    DWORD how = REG_OPENED_EXISTING_KEY;
    const HardwareKey hardware = HardwareKind(root, path);
    if (hardware != HardwareKey::kNone) {
        if (access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
        if (hardware == HardwareKey::kUnknown) return create ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
        record.hardware = true;
        if (hardware == HardwareKey::kSerialComm) {
            record.ports = ListSerialPorts();
            // Windows' serial drivers create SERIALCOMM with their first port, so a
            // machine without ports has no such key; callers rely on that to say
            // "no serial port" rather than show an empty list.
            if (record.ports.empty()) return ERROR_FILE_NOT_FOUND;
        }
    } else if (create) {
        const LSTATUS rc = UpdateHive(HiveFile(root), RootName(root), [&](Hive& hive, bool* changed) {
            if (!path.empty()) hive.Ensure(path, changed);
            if (*changed) how = REG_CREATED_NEW_KEY;
            return ERROR_SUCCESS;
        });
        if (rc != ERROR_SUCCESS) return rc;
    } else if (!path.empty()) {
        Hive hive;
        if (const LSTATUS rc = ReadHive(HiveFile(root), RootName(root), hive); rc != ERROR_SUCCESS) return rc;
        if (!hive.Find(path)) return ERROR_FILE_NOT_FOUND;
    }
    const HKEY handle = gNextHandle++;
    gKeys[handle] = std::move(record);
    *result = handle;
    if (disposition) *disposition = how;
    return ERROR_SUCCESS;
}

// The key's values as they are now.
LSTATUS CurrentValues(const KeyRecord& record, std::vector<Value>& out) {
    out.clear();
    if (record.hardware) {
        for (const auto& port : record.ports) out.push_back(Value{port.valueName, REG_SZ, port.portName, 0});
        return ERROR_SUCCESS;
    }
    Hive hive;
    if (const LSTATUS rc = ReadHive(HiveFile(record.root), RootName(record.root), hive); rc != ERROR_SUCCESS)
        return rc;
    Key* key = hive.Find(record.path);
    if (!key) return record.path.empty() ? ERROR_SUCCESS : ERROR_KEY_DELETED;
    out = key->values;
    return ERROR_SUCCESS;
}

LSTATUS CopyData(const Value& value, DWORD* type, void* data, DWORD* dataSize) {
    std::string bytes;
    if (value.type == REG_DWORD)
        bytes.assign(reinterpret_cast<const char*>(&value.number), sizeof value.number);
    else
        bytes = value.text + '\0';
    const auto size = static_cast<DWORD>(bytes.size());
    if (data && !dataSize) return ERROR_INVALID_PARAMETER;
    if (type) *type = value.type;
    if (data && *dataSize < size) {
        *dataSize = size;
        return ERROR_MORE_DATA;
    }
    if (data) std::memcpy(data, bytes.data(), bytes.size());
    if (dataSize) *dataSize = size;
    return ERROR_SUCCESS;
}

// Edits a key of the store; the change says whether it changed anything.
LSTATUS EditKey(const KeyRecord& record, const std::function<LSTATUS(Key&, bool*)>& change) {
    return UpdateHive(HiveFile(record.root), RootName(record.root), [&](Hive& hive, bool* changed) {
        Key* key = record.path.empty() ? &hive.Ensure("") : hive.Find(record.path);
        if (!key) return ERROR_KEY_DELETED;
        return change(*key, changed);
    });
}

LSTATUS CheckWritable(HKEY key, KeyRecord& record) {
    if (const LSTATUS rc = Lookup(key, record); rc != ERROR_SUCCESS) return rc;
    if (record.hardware || !(record.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

}  // namespace

namespace detail {
void RecordSystemError(int error) { tSystemError = error; }
}  // namespace detail

LSTATUS RegOpenKeyEx(HKEY key, const std::string& subKey, DWORD, REGSAM access, HKEY* result) {
    Enter();
    std::lock_guard lock(gMutex);
    KeyRecord base;
    std::string path;
    if (LSTATUS rc = Lookup(key, base); rc != ERROR_SUCCESS) return rc;
    if (LSTATUS rc = JoinPath(base.path, subKey, path); rc != ERROR_SUCCESS) return rc;
    return OpenPath(base.root, path, access, false, result, nullptr);
}

LSTATUS RegCreateKeyEx(HKEY key, const std::string& subKey, REGSAM access, HKEY* result,
                       DWORD* disposition) {
    Enter();
    std::lock_guard lock(gMutex);
    KeyRecord base;
    std::string path;
    if (LSTATUS rc = Lookup(key, base); rc != ERROR_SUCCESS) return rc;
    if (LSTATUS rc = JoinPath(base.path, subKey, path); rc != ERROR_SUCCESS) return rc;
    return OpenPath(base.root, path, access, true, result, disposition);
}

LSTATUS RegCloseKey(HKEY key) {
    Enter();
    std::lock_guard lock(gMutex);
    if (IsRoot(key)) return ERROR_SUCCESS;
    return gKeys.erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS RegQueryValueEx(HKEY key, const std::string& valueName, DWORD* type, void* data,
                        DWORD* dataSize) {
    Enter();
    std::lock_guard lock(gMutex);
    KeyRecord record;
    std::vector<Value> values;
    if (LSTATUS rc = Lookup(key, record); rc != ERROR_SUCCESS) return rc;
    if (!(record.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    if (LSTATUS rc = CurrentValues(record, values); rc != ERROR_SUCCESS) return rc;
    for (const auto& value : values)
        if (SameName(value.name, valueName)) return CopyData(value, type, data, dataSize);
    return ERROR_FILE_NOT_FOUND;
}

LSTATUS RegSetValueEx(HKEY key, const std::string& valueName, DWORD type, const void* data,
                      DWORD dataSize) {
    Enter();
    std::lock_guard lock(gMutex);
    KeyRecord record;
    if (LSTATUS rc = CheckWritable(key, record); rc != ERROR_SUCCESS) return rc;
    if (!data && dataSize > 0) return ERROR_INVALID_PARAMETER;
    Value value{valueName, type, {}, 0};
    if (type == REG_SZ) {
        const char* bytes = static_cast<const char*>(data);
        value.text.assign(bytes, bytes ? ::strnlen(bytes, dataSize) : 0);
    } else if (type == REG_DWORD && dataSize == sizeof value.number) {
        std::memcpy(&value.number, data, sizeof value.number);
    } else {
        return ERROR_INVALID_PARAMETER;
    }
    return EditKey(record, [&](Key& k, bool* changed) {
        Value* old = k.FindValue(valueName);
        if (!old) {
            k.values.push_back(value);
        } else if (old->type != value.type || old->text != value.text || old->number != value.number) {
            value.name = old->name;  // the first spelling stays
            *old = value;
        } else {
            return ERROR_SUCCESS;
        }
        *changed = true;
        return ERROR_SUCCESS;
    });
}

LSTATUS RegDeleteValue(HKEY key, const std::string& valueName) {
    Enter();
    std::lock_guard lock(gMutex);
    KeyRecord record;
    if (LSTATUS rc = CheckWritable(key, record); rc != ERROR_SUCCESS) return rc;
    return EditKey(record, [&](Key& k, bool* changed) {
        for (auto it = k.values.begin(); it != k.values.end(); ++it) {
            if (!SameName(it->name, valueName)) continue;
            k.values.erase(it);
            *changed = true;
            return ERROR_SUCCESS;
        }
        return ERROR_FILE_NOT_FOUND;
    });
}

LSTATUS RegEnumValue(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* type, void* data,
                     DWORD* dataSize) {
    Enter();
    std::lock_guard lock(gMutex);
    KeyRecord record;
    std::vector<Value> values;
    if (LSTATUS rc = Lookup(key, record); rc != ERROR_SUCCESS) return rc;
    if (!(record.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    if (!name || !nameSize) return ERROR_INVALID_PARAMETER;
    if (LSTATUS rc = CurrentValues(record, values); rc != ERROR_SUCCESS) return rc;
    if (index >= values.size()) return ERROR_NO_MORE_ITEMS;
    const Value& value = values[index];
    if (value.name.size() + 1 > *nameSize) return ERROR_MORE_DATA;
    if (LSTATUS rc = CopyData(value, type, data, dataSize); rc != ERROR_SUCCESS) return rc;
    std::memcpy(name, value.name.c_str(), value.name.size() + 1);
    *nameSize = static_cast<DWORD>(value.name.size());
    return ERROR_SUCCESS;
}

int RegLastSystemError() { return tSystemError; }

void SetRegistryRoot(const std::string& directory) {
    std::lock_guard lock(gMutex);
    gRootOverride = directory;
}

std::string RegistryRoot() {
    std::lock_guard lock(gMutex);
    return RootLocked();
}

}  // namespace portvale::reg
