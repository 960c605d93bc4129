#pragma once
// The serial device interface the port component is written against: the operations
// and values of the Windows serial communications API, with one backend over termios
// (TermiosSerialApi) and a recording double for unit tests. The component reaches the
// active backend through SerialApi(); tests swap it with SetSerialApi.
//
// Conventions kept from the original API: calls return true on success; on failure the
// reason is read with GetLastError() (an errno value here, or one of the ERROR_ codes
// below), which is per thread. Overlapped operations either complete at once (true),
// or return false with GetLastError() == ERROR_IO_PENDING and later signal the
// OVERLAPPED's event; GetOverlappedResult then gives the outcome.

#include <cstdint>
#include <string>

#include "platform/Event.h"

namespace portvale {

using HANDLE = std::intptr_t;
constexpr HANDLE INVALID_HANDLE_VALUE = -1;

// Error codes with a meaning of their own (everything else is an errno value).
constexpr std::uint32_t ERROR_SUCCESS = 0;
constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
// SetCommState: the driver cannot make the rate asked for (within 2%), so the line
// was left as it was. Windows' number for such a refusal (ERROR_INVALID_PARAMETER);
// no errno of the serial calls has it.
constexpr std::uint32_t ERROR_RATE_NOT_SUPPORTED = 87;
constexpr std::uint32_t ERROR_OPERATION_ABORTED = 995;
constexpr std::uint32_t ERROR_IO_INCOMPLETE = 996;
constexpr std::uint32_t ERROR_IO_PENDING = 997;

// Device control block. Flags holds the Windows bit layout (see the fDCB_ masks).
struct DCB {
    std::uint32_t DCBlength = sizeof(DCB);
    std::uint32_t BaudRate = 0;
    std::uint32_t Flags = 0;
    std::uint16_t wReserved = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 8;
    std::uint8_t Parity = 0;
    std::uint8_t StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    std::uint16_t wReserved1 = 0;
};
static_assert(sizeof(DCB) == 28, "the device control block is 28 bytes");

constexpr std::uint32_t fDCB_Binary = 1u << 0;
constexpr std::uint32_t fDCB_Parity = 1u << 1;
constexpr std::uint32_t fDCB_OutxCtsFlow = 1u << 2;
constexpr std::uint32_t fDCB_OutxDsrFlow = 1u << 3;
constexpr std::uint32_t fDCB_DtrControlShift = 4;  // 2 bits: DTR_CONTROL_*
constexpr std::uint32_t fDCB_DtrControlMask = 3u << 4;
constexpr std::uint32_t fDCB_DsrSensitivity = 1u << 6;
constexpr std::uint32_t fDCB_TXContinueOnXoff = 1u << 7;
constexpr std::uint32_t fDCB_OutX = 1u << 8;
constexpr std::uint32_t fDCB_InX = 1u << 9;
constexpr std::uint32_t fDCB_ErrorChar = 1u << 10;
constexpr std::uint32_t fDCB_Null = 1u << 11;
constexpr std::uint32_t fDCB_RtsControlShift = 12;  // 2 bits: RTS_CONTROL_*
constexpr std::uint32_t fDCB_RtsControlMask = 3u << 12;
constexpr std::uint32_t fDCB_AbortOnError = 1u << 14;

constexpr std::uint32_t DTR_CONTROL_DISABLE = 0;
constexpr std::uint32_t DTR_CONTROL_ENABLE = 1;
constexpr std::uint32_t DTR_CONTROL_HANDSHAKE = 2;
constexpr std::uint32_t RTS_CONTROL_DISABLE = 0;
constexpr std::uint32_t RTS_CONTROL_ENABLE = 1;
constexpr std::uint32_t RTS_CONTROL_HANDSHAKE = 2;
constexpr std::uint32_t RTS_CONTROL_TOGGLE = 3;

constexpr std::uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr std::uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

struct COMMTIMEOUTS {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
};
constexpr std::uint32_t MAXDWORD = 0xFFFFFFFFu;

// ClearCommError's status. Flags bits: 0 CTS hold, 1 DSR hold, 2 RLSD hold, 3 XOFF
// hold, 4 XOFF sent, 5 EOF, 6 TransmitCommChar character waiting.
struct COMSTAT {
    std::uint32_t Flags = 0;
    std::uint32_t cbInQue = 0;
    std::uint32_t cbOutQue = 0;
};

// Line errors reported by ClearCommError.
constexpr std::uint32_t CE_RXOVER = 0x0001;
constexpr std::uint32_t CE_OVERRUN = 0x0002;
constexpr std::uint32_t CE_RXPARITY = 0x0004;
constexpr std::uint32_t CE_FRAME = 0x0008;
constexpr std::uint32_t CE_BREAK = 0x0010;
constexpr std::uint32_t CE_TXFULL = 0x0100;
constexpr std::uint32_t CE_PTO = 0x0200;
constexpr std::uint32_t CE_IOE = 0x0400;
constexpr std::uint32_t CE_DNS = 0x0800;
constexpr std::uint32_t CE_OOP = 0x1000;
constexpr std::uint32_t CE_MODE = 0x8000;

// Event mask bits.
constexpr std::uint32_t EV_RXCHAR = 0x0001;
constexpr std::uint32_t EV_RXFLAG = 0x0002;
constexpr std::uint32_t EV_TXEMPTY = 0x0004;
constexpr std::uint32_t EV_CTS = 0x0008;
constexpr std::uint32_t EV_DSR = 0x0010;
constexpr std::uint32_t EV_RLSD = 0x0020;
constexpr std::uint32_t EV_BREAK = 0x0040;
constexpr std::uint32_t EV_ERR = 0x0080;
constexpr std::uint32_t EV_RING = 0x0100;
constexpr std::uint32_t EV_PERR = 0x0200;
constexpr std::uint32_t EV_RX80FULL = 0x0400;

constexpr std::uint32_t PURGE_TXABORT = 0x0001;
constexpr std::uint32_t PURGE_RXABORT = 0x0002;
constexpr std::uint32_t PURGE_TXCLEAR = 0x0004;
constexpr std::uint32_t PURGE_RXCLEAR = 0x0008;

constexpr std::uint32_t SETXOFF = 1;
constexpr std::uint32_t SETXON = 2;
constexpr std::uint32_t SETRTS = 3;
constexpr std::uint32_t CLRRTS = 4;
constexpr std::uint32_t SETDTR = 5;
constexpr std::uint32_t CLRDTR = 6;
constexpr std::uint32_t RESETDEV = 7;
constexpr std::uint32_t SETBREAK = 8;
constexpr std::uint32_t CLRBREAK = 9;

constexpr std::uint32_t MS_CTS_ON = 0x0010;
constexpr std::uint32_t MS_DSR_ON = 0x0020;
constexpr std::uint32_t MS_RING_ON = 0x0040;
constexpr std::uint32_t MS_RLSD_ON = 0x0080;

// An overlapped operation's record. hEvent is owned by the caller; the backend
// resets it when the operation starts and sets it when it completes. Internal and
// InternalHigh belong to the backend.
struct OVERLAPPED {
    std::uintptr_t Internal = 0;
    std::uintptr_t InternalHigh = 0;
    std::uint32_t Offset = 0;
    std::uint32_t OffsetHigh = 0;
    Event* hEvent = nullptr;
};

class ISerialApi {
public:
    virtual ~ISerialApi() = default;

    // deviceName is "\\.\" followed by the port name; the device is opened for reading
    // and writing, not shared, overlapped. INVALID_HANDLE_VALUE on failure.
    virtual HANDLE CreateFile(const std::string& deviceName) = 0;
    virtual bool CloseHandle(HANDLE handle) = 0;
    virtual bool SetupComm(HANDLE handle, std::uint32_t inQueue, std::uint32_t outQueue) = 0;
    virtual bool SetCommState(HANDLE handle, const DCB& dcb) = 0;
    virtual bool GetCommState(HANDLE handle, DCB& dcb) = 0;
    virtual bool SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS& timeouts) = 0;
    virtual bool GetCommTimeouts(HANDLE handle, COMMTIMEOUTS& timeouts) = 0;
    virtual bool SetCommMask(HANDLE handle, std::uint32_t mask) = 0;
    virtual bool GetCommMask(HANDLE handle, std::uint32_t& mask) = 0;
    // Overlapped: *mask is written when the wait completes.
    virtual bool WaitCommEvent(HANDLE handle, std::uint32_t* mask, OVERLAPPED* overlapped) = 0;
    virtual bool GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped,
                                     std::uint32_t* transferred, bool wait) = 0;
    // Reads and clears the pending line errors; errors and stat may be null.
    virtual bool ClearCommError(HANDLE handle, std::uint32_t* errors, COMSTAT* stat) = 0;
    virtual bool PurgeComm(HANDLE handle, std::uint32_t flags) = 0;
    virtual bool EscapeCommFunction(HANDLE handle, std::uint32_t function) = 0;
    virtual bool GetCommModemStatus(HANDLE handle, std::uint32_t* status) = 0;
    virtual bool TransmitCommChar(HANDLE handle, char c) = 0;
    // Overlapped. The buffer must stay valid until the operation has finished.
    virtual bool ReadFile(HANDLE handle, void* buffer, std::uint32_t count, std::uint32_t* read,
                          OVERLAPPED* overlapped) = 0;
    virtual bool WriteFile(HANDLE handle, const void* buffer, std::uint32_t count,
                           std::uint32_t* written, OVERLAPPED* overlapped) = 0;
    // The calling thread's last error.
    virtual std::uint32_t GetLastError() = 0;

    // Beyond the Windows calls: the thread that runs the dispatcher may serve a
    // device's input itself, rather than a thread blocked in WaitCommEvent and a
    // worker behind it. ServeInputOnLoop returns the descriptor to watch (readable,
    // edge-triggered), from then on left to the caller except while a read waits;
    // -1 when this backend has no such road (the caller keeps its thread then).
    virtual int ServeInputOnLoop(HANDLE handle) {
        (void)handle;
        return -1;
    }
    // That descriptor was reported ready (epoll events): take in what arrived and
    // raise the events, on the calling thread.
    virtual void ServiceInput(HANDLE handle, std::uint32_t readiness) {
        (void)handle;
        (void)readiness;
    }
};

// The active backend (the termios backend unless a test installed another).
ISerialApi& SerialApi();
// Installs api (not owned) as the active backend; null restores the termios backend.
void SetSerialApi(ISerialApi* api);

// The device path a port name stands for: absolute paths as they are, "COMn" for
// /dev/ttyS<n-1>, bare names under /dev. Accepts the "\\.\" prefix.
std::string DevicePathForPortName(const std::string& name);

}  // namespace portvale
