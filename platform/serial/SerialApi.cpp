#include "platform/serial/SerialApi.h"

#include <atomic>
#include <cctype>

#include "platform/serial/TermiosSerialApi.h"

namespace portvale {

namespace {

std::atomic<ISerialApi*> gInstalled{nullptr};

// The process-wide device backend: the one place where the backend is chosen.
ISerialApi& DefaultApi() {
    static TermiosSerialApi api;
    return api;
}

bool StartsWithNoCase(const std::string& text, const char* prefix, std::size_t n) {
    if (text.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    return true;
}

}  // namespace

ISerialApi& SerialApi() {
    ISerialApi* api = gInstalled.load(std::memory_order_acquire);
    return api ? *api : DefaultApi();
}

void SetSerialApi(ISerialApi* api) { gInstalled.store(api, std::memory_order_release); }

std::string DevicePathForPortName(const std::string& name) {
    std::string rest = name;
    if (rest.rfind("\\\\.\\", 0) == 0) rest.erase(0, 4);
    if (rest.empty()) return {};
    if (rest.front() == '/') return rest;
    // "COMn" is the Windows name of the n-th serial port: the kernel counts the
    // built-in UARTs from ttyS0.
    if (StartsWithNoCase(rest, "COM", 3) && rest.size() > 3 && rest.size() <= 12) {
        unsigned long long n = 0;
        bool digits = true;
        for (std::size_t i = 3; i < rest.size(); ++i) {
            if (!std::isdigit(static_cast<unsigned char>(rest[i]))) {
                digits = false;
                break;
            }
            n = n * 10 + static_cast<unsigned>(rest[i] - '0');
        }
        if (digits && n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
    }
    return "/dev/" + rest;
}

}  // namespace portvale
