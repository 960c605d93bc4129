#pragma once
// The serial device backend for Linux: real ttys, USB adapters and pseudo-terminals
// through termios, with the Windows semantics of ISerialApi.
//
// Design:
// - Every handle owns a receive queue in user space. Bytes move into it from the
//   kernel when data arrives (an edge-triggered epoll wake-up on a per-handle worker
//   thread) or when a caller reads or queries the queue. Events of received data
//   (EV_RXCHAR, EV_RXFLAG, EV_RX80FULL) are raised when bytes move into the queue,
//   never for bytes already waiting in it, so a caller that leaves bytes unread costs
//   no CPU. The queue holds max(SetupComm input size, 4096) bytes; beyond that the
//   bytes stay in the kernel, where the line's flow control takes over.
// - Overlapped operations complete at once when they can; otherwise they wait on
//   the handle's worker (started on first need, woken through an eventfd, sleeping
//   in epoll with the nearest time-out) and signal the OVERLAPPED's event when done.
//   A start that fails at once leaves the event reset.
// - Events occurring while no WaitCommEvent is pending are remembered (masked by the
//   current event mask) and complete the next wait at once; SetCommMask forgets them
//   and completes a pending wait with mask 0.
// - Modem lines (CTS, DSR, RLSD, RING) are polled every 20 ms through TIOCGICOUNT and
//   TIOCMGET while the mask asks for them and the driver supports either; line errors
//   and breaks are counted by TIOCGICOUNT when bytes arrive. EV_TXEMPTY is raised
//   once the kernel's output queue has drained after a write.
// - A hang-up (unplugged adapter, closed pty master) fails the pending wait, writes
//   and empty reads with its errno (EIO). Afterwards only what needs the device fails
//   (writes, settings, line control, waits, reads of an empty queue); bytes already
//   queued can still be read, ClearCommError and PurgeComm still work, and so does
//   CloseHandle.
// - Read time-outs follow Windows: interval MAXDWORD with both totals 0 returns what
//   is queued at once; interval MAXDWORD, multiplier MAXDWORD and a constant between
//   0 and MAXDWORD returns as soon as one byte is there or after the constant; any
//   other combination waits for all bytes, at most multiplier*count+constant ms in
//   total (no limit when both are 0) and at most the interval between two bytes
//   (0 or MAXDWORD: no interval limit). A fresh handle starts with MAXDWORD/0/0, so
//   reads never block before the time-outs are set. Write time-outs likewise; a
//   write that times out succeeds with the count the kernel accepted.
// - GetCommModemStatus reports no lines on drivers without modem lines (ptys): a line
//   that does not exist reads as an unconnected input, off. EscapeCommFunction for
//   DTR/RTS fails there (ENOTTY), since the requested change cannot happen.
// - DCB settings termios cannot express are accepted and approximated: DTR handshake
//   raises DTR, RTS toggle leaves RTS low at rest, DSR flow and DSR sensitivity and
//   TXContinueOnXoff and abort-on-error are not enforced, the XON/XOFF limits are the
//   kernel's own.
// - GetLastError is the errno of the failing call (or one of the ERROR_ codes).
// - "pty:PATH" opens the master of this process's virtual device at PATH
//   (VirtualDevice.h), ENOENT when there is none. Its line settings are the program's
//   on the slave: SetCommState only keeps the block, EscapeCommFunction does nothing,
//   and status packets make the device's StatusFd readable.
//
// All calls may be made from any thread.

#include <map>
#include <memory>
#include <mutex>

#include "platform/serial/SerialApi.h"

namespace portvale {

namespace termios_backend {
struct TermiosPort;
}

class TermiosSerialApi : public ISerialApi {
public:
    TermiosSerialApi();
    // Closes every handle still open.
    ~TermiosSerialApi() override;
    TermiosSerialApi(const TermiosSerialApi&) = delete;
    TermiosSerialApi& operator=(const TermiosSerialApi&) = delete;

    HANDLE CreateFile(const std::string& deviceName) override;
    bool CloseHandle(HANDLE handle) override;
    bool SetupComm(HANDLE handle, std::uint32_t inQueue, std::uint32_t outQueue) override;
    bool SetCommState(HANDLE handle, const DCB& dcb) override;
    bool GetCommState(HANDLE handle, DCB& dcb) override;
    bool SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS& timeouts) override;
    bool GetCommTimeouts(HANDLE handle, COMMTIMEOUTS& timeouts) override;
    bool SetCommMask(HANDLE handle, std::uint32_t mask) override;
    bool GetCommMask(HANDLE handle, std::uint32_t& mask) override;
    bool WaitCommEvent(HANDLE handle, std::uint32_t* mask, OVERLAPPED* overlapped) override;
    bool GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped, std::uint32_t* transferred,
                             bool wait) override;
    bool ClearCommError(HANDLE handle, std::uint32_t* errors, COMSTAT* stat) override;
    bool PurgeComm(HANDLE handle, std::uint32_t flags) override;
    bool EscapeCommFunction(HANDLE handle, std::uint32_t function) override;
    bool GetCommModemStatus(HANDLE handle, std::uint32_t* status) override;
    bool TransmitCommChar(HANDLE handle, char c) override;
    bool ReadFile(HANDLE handle, void* buffer, std::uint32_t count, std::uint32_t* read,
                  OVERLAPPED* overlapped) override;
    bool WriteFile(HANDLE handle, const void* buffer, std::uint32_t count,
                   std::uint32_t* written, OVERLAPPED* overlapped) override;
    std::uint32_t GetLastError() override;
    int ServeInputOnLoop(HANDLE handle) override;
    void ServiceInput(HANDLE handle, std::uint32_t readiness) override;

private:
    std::shared_ptr<termios_backend::TermiosPort> Find(HANDLE handle);
    // The master of a virtual device ("pty:PATH", VirtualDevice.h).
    HANDLE OpenVirtualDevice(const std::string& name);
    // What every opened port needs beyond its descriptor; takes the handle number.
    HANDLE Register(std::shared_ptr<termios_backend::TermiosPort> port);

    std::mutex mutex_;
    std::map<HANDLE, std::shared_ptr<termios_backend::TermiosPort>> ports_;
    HANDLE nextHandle_ = 1;
};

}  // namespace portvale
