// The list of the system's serial ports, from the registry.
#include <cstring>

#include "comport/ComPort.h"
#include "framework/StringList.h"
#include "platform/registry/Registry.h"

namespace portvale {

namespace {

class KeyCloser {
public:
    explicit KeyCloser(reg::HKEY key) : key_(key) {}
    ~KeyCloser() { reg::RegCloseKey(key_); }
    KeyCloser(const KeyCloser&) = delete;
    KeyCloser& operator=(const KeyCloser&) = delete;

private:
    reg::HKEY key_;
};

}  // namespace

void EnumComPorts(TStringList& ports) {
    reg::HKEY key = 0;
    reg::LSTATUS rc =
        reg::RegOpenKeyEx(reg::HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, reg::KEY_READ, &key);
    if (rc != reg::ERROR_SUCCESS) throw EComPort(CError_RegError, rc);
    KeyCloser closer(key);
    TStringList names;
    for (reg::DWORD index = 0;; ++index) {
        char name[256];
        reg::DWORD nameSize = sizeof name;
        char data[256];
        reg::DWORD dataSize = sizeof data;
        rc = reg::RegEnumValue(key, index, name, &nameSize, nullptr, data, &dataSize);
        if (rc == reg::ERROR_NO_MORE_ITEMS) break;
        if (rc != reg::ERROR_SUCCESS) throw EComPort(CError_RegError, rc);
        names.Add(std::string(data, ::strnlen(data, dataSize)));
    }
    names.Sort();
    ports.Clear();
    for (int i = 0; i < names.Count(); ++i) ports.Add(names[i]);
}

}  // namespace portvale
