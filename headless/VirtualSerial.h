#pragma once
// A bridge's serial side as a virtual device ("pty:PATH"): the device itself, and the
// watch on the line settings the program on it asks for, which an RFC 2217 client
// carries to the far port. The settings are looked at when the device reports a
// change and whenever data arrives (a program may clear the reporting), never by
// polling.
//
// Threading: the dispatching thread.

#include <functional>
#include <memory>
#include <string>

#include "app/Rfc2217Client.h"
#include "headless/LineSettings.h"
#include "platform/Dispatcher.h"
#include "platform/serial/VirtualDevice.h"

namespace portvale::headless {

// Whether a port name names a virtual device ("pty:PATH").
bool IsVirtualPortName(const std::string& name);

// The bridge's own line settings as the COM-PORT-OPTION states them (9600 8N1, no
// flow, for what is unset).
rfc2217::LineSettings RemoteLineOf(const LineSettings& line);

class VirtualSerial {
public:
    using Print = std::function<void(const std::string&)>;

    // Makes the device; throws std::runtime_error when its link cannot be made.
    VirtualSerial(const std::string& portName, VirtualDeviceAccess access, rfc2217::LineSettings bridgeLine,
                  Print print);
    ~VirtualSerial();
    VirtualSerial(const VirtualSerial&) = delete;
    VirtualSerial& operator=(const VirtualSerial&) = delete;

    // The line the far port should have now.
    rfc2217::LineSettings Line() const;
    // The client that carries the settings, or null (raw TCP). Not owned.
    void SetClient(TRfc2217Client* client) { client_ = client; }
    // Data arrived from the program: its settings may have changed unreported.
    void Check();

private:
    VirtualDevice device_;
    const rfc2217::LineSettings bridgeLine_;
    const Print print_;
    TRfc2217Client* client_ = nullptr;
    bool asked_ = false;  // the program has set the line at least once
    Dispatcher::WatchId watch_ = 0;
};

}  // namespace portvale::headless
