// Name resolution: blocking host and service lookups, and WinSock's asynchronous
// ones, which run on one worker thread and post their completion through the relay.

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/sockets/NotifyRelay.h"
#include "platform/sockets/WinSock.h"
#include "platform/sockets/WsaErrors.h"

namespace portvale::ws {

using detail::Fail;

namespace {

// The records a lookup leaves in the caller's buffer. The buffer is plain bytes of
// any alignment, so they are copied in and out, never cast.
constexpr std::uint32_t kHostTag = 0x54534F48;     // "HOST"
constexpr std::uint32_t kServiceTag = 0x56524553;  // "SERV"
struct PackedAddress {
    std::int32_t family;
    std::uint8_t bytes[16];  // network order
    std::uint32_t scopeId;
};
struct HostRecord {
    std::uint32_t tag;
    std::uint32_t count;
    PackedAddress addresses[kMaxHostRecordAddresses];
    char name[256];
};
static_assert(sizeof(HostRecord) <= MAXGETHOSTSTRUCT);
struct ServiceRecord {
    std::uint32_t tag;
    std::uint16_t port;  // network order
    std::uint16_t unused;
    char name[256];
};

struct Request {
    HANDLE handle = 0;
    HWND window = 0;
    std::uint32_t msg = 0;
    char* buffer = nullptr;
    int bufferLength = 0;
    bool isHost = true;
    std::string name;
    std::string protocol;
    bool anyProtocol = false;
};

struct Lookups {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::shared_ptr<Request>> queue;
    // Started and not yet delivered or cancelled. Only a request found here may
    // write into its caller's buffer or be delivered, and both happen under mutex,
    // so once WSACancelAsyncRequest returns the request is gone for good.
    std::map<HANDLE, std::shared_ptr<Request>> pending;
    HANDLE nextHandle = 1;
    bool workerStarted = false;
    HostResolver resolver;
};

// Never destroyed: the worker thread lives as long as the process.
Lookups& State() {
    static Lookups* lookups = new Lookups();
    return *lookups;
}

int WsaFromAddrInfo(int error) {
    switch (error) {
        case EAI_NONAME: return WSAHOST_NOT_FOUND;
        case EAI_AGAIN: return WSATRY_AGAIN;
        case EAI_FAIL: return WSANO_RECOVERY;
#if defined(EAI_NODATA) || defined(EAI_ADDRFAMILY)
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
#endif
            return WSANO_DATA;
#endif
        case EAI_MEMORY: return WSAENOBUFS;
        case EAI_SYSTEM: return detail::WsaFromErrno(errno);
        default: return WSANO_RECOVERY;
    }
}

// Both families, in getaddrinfo's order (RFC 6724: the one more likely to work
// first); each address once.
int SystemResolver(const std::string& name, std::vector<HostAddress>* addresses) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int error = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (error != 0) return WsaFromAddrInfo(error);
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addr == nullptr) continue;
        HostAddress address;
        if (entry->ai_family == AF_INET) {
            sockaddr_in in{};
            std::memcpy(&in, entry->ai_addr, sizeof in);
            address = HostAddress::IPv4(in.sin_addr.s_addr);
        } else if (entry->ai_family == AF_INET6) {
            sockaddr_in6 in6{};
            std::memcpy(&in6, entry->ai_addr, sizeof in6);
            address = HostAddress::IPv6(in6.sin6_addr, in6.sin6_scope_id);
        } else {
            continue;
        }
        if (std::find(addresses->begin(), addresses->end(), address) == addresses->end())
            addresses->push_back(address);
    }
    ::freeaddrinfo(found);
    return addresses->empty() ? WSANO_DATA : 0;
}

int ResolveService(const std::string& name, const char* protocol, std::uint16_t* port) {
    servent entry{};
    servent* found = nullptr;
    std::vector<char> scratch(4096);
    for (;;) {
        const int error = ::getservbyname_r(name.c_str(), protocol, &entry, scratch.data(),
                                            scratch.size(), &found);
        if (error == ERANGE && scratch.size() < (1u << 20)) {
            scratch.resize(scratch.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr) return WSANO_DATA;
        *port = static_cast<std::uint16_t>(found->s_port);
        return 0;
    }
}

template <typename Record>
void CopyName(Record& record, const std::string& name) {
    std::strncpy(record.name, name.c_str(), sizeof record.name - 1);
    record.name[sizeof record.name - 1] = '\0';
}

// Runs the lookup; returns the WinSock error and fills bytes with the record.
int Perform(const Request& request, std::vector<char>& bytes) {
    if (request.isHost) {
        HostRecord record{};
        record.tag = kHostTag;
        std::vector<HostAddress> addresses;
        const int error = ResolveHostAddresses(request.name, &addresses);
        if (error != 0) return error;
        for (const HostAddress& address : addresses) {
            if (record.count == kMaxHostRecordAddresses) break;
            PackedAddress& packed = record.addresses[record.count++];
            packed.family = address.family;
            std::memcpy(packed.bytes, address.bytes.data(), sizeof packed.bytes);
            packed.scopeId = address.scopeId;
        }
        CopyName(record, request.name);
        bytes.resize(sizeof record);
        std::memcpy(bytes.data(), &record, sizeof record);
        return 0;
    }
    ServiceRecord record{};
    record.tag = kServiceTag;
    const int error = ResolveService(
        request.name, request.anyProtocol ? nullptr : request.protocol.c_str(), &record.port);
    if (error != 0) return error;
    CopyName(record, request.name);
    bytes.resize(sizeof record);
    std::memcpy(bytes.data(), &record, sizeof record);
    return 0;
}

// Delivery, on the GUI thread: the request is taken out of `pending` (unless it was
// cancelled after its completion was queued) and the caller's window told.
void Deliver(HANDLE handle, HWND window, std::uint32_t msg, LPARAM lParam) {
    {
        Lookups& lookups = State();
        std::lock_guard lock(lookups.mutex);
        if (lookups.pending.erase(handle) == 0) return;
        detail::RelayRelease();
    }
    Dispatcher::Instance().SendMessage(window, msg, static_cast<WPARAM>(handle), lParam);
}

void Worker() {
    Lookups& lookups = State();
    std::unique_lock lock(lookups.mutex);
    for (;;) {
        lookups.wake.wait(lock, [&] { return !lookups.queue.empty(); });
        auto request = lookups.queue.front();
        lookups.queue.pop_front();
        if (lookups.pending.count(request->handle) == 0) continue;  // cancelled while queued
        lock.unlock();
        std::vector<char> bytes;
        int error = 0;
        try {
            error = Perform(*request, bytes);
        } catch (...) {
            // A resolver a test installed may throw; the lookup then simply fails.
            error = WSANO_RECOVERY;
        }
        lock.lock();
        if (lookups.pending.count(request->handle) == 0) continue;  // cancelled meanwhile
        int size = static_cast<int>(bytes.size());
        if (error == 0 && size > request->bufferLength) error = WSAENOBUFS;  // size: needed
        if (error == 0) std::memcpy(request->buffer, bytes.data(), bytes.size());
        if (error != 0 && error != WSAENOBUFS) size = 0;
        const LPARAM lParam = WSAMAKEASYNCREPLY(size, error);
        const HANDLE handle = request->handle;
        const HWND window = request->window;
        const std::uint32_t msg = request->msg;
        detail::RelayPost([=] { Deliver(handle, window, msg, lParam); });
    }
}

HANDLE Start(std::shared_ptr<Request> request) {
    Lookups& lookups = State();
    std::lock_guard lock(lookups.mutex);
    if (!lookups.workerStarted) {
        try {
            std::thread(Worker).detach();
        } catch (const std::system_error&) {
            Fail(WSAENOBUFS);
            return 0;
        }
        lookups.workerStarted = true;
    }
    request->handle = lookups.nextHandle++;
    lookups.pending.emplace(request->handle, request);
    lookups.queue.push_back(request);
    detail::RelayAddUser();
    lookups.wake.notify_one();
    return request->handle;
}

}  // namespace

namespace {

// A request with what both lookups share; null when the arguments are unusable.
std::shared_ptr<Request> NewRequest(HWND window, std::uint32_t msg, const char* name, char* buffer,
                                    int bufferLength, bool isHost) {
    if (name == nullptr || buffer == nullptr || bufferLength < 0) {
        Fail(WSAEFAULT);
        return nullptr;
    }
    auto request = std::make_shared<Request>();
    request->window = window;
    request->msg = msg;
    request->buffer = buffer;
    request->bufferLength = bufferLength;
    request->isHost = isHost;
    request->name = name;
    return request;
}

}  // namespace

HANDLE WSAAsyncGetHostByName(HWND window, std::uint32_t msg, const char* name, char* buffer,
                             int bufferLength) {
    auto request = NewRequest(window, msg, name, buffer, bufferLength, true);
    return request ? Start(std::move(request)) : 0;
}

HANDLE WSAAsyncGetServByName(HWND window, std::uint32_t msg, const char* name,
                             const char* protocol, char* buffer, int bufferLength) {
    auto request = NewRequest(window, msg, name, buffer, bufferLength, false);
    if (!request) return 0;
    request->anyProtocol = protocol == nullptr;
    if (protocol != nullptr) request->protocol = protocol;
    return Start(std::move(request));
}

int WSACancelAsyncRequest(HANDLE request) {
    Lookups& lookups = State();
    std::lock_guard lock(lookups.mutex);
    if (lookups.pending.erase(request) == 0)
        return Fail(request != 0 && request < lookups.nextHandle ? WSAEALREADY : WSAEINVAL);
    detail::RelayRelease();
    return 0;
}

std::vector<HostAddress> HostRecordAddresses(const char* buffer) {
    std::vector<HostAddress> addresses;
    if (buffer == nullptr) return addresses;
    std::uint32_t tag;
    std::uint32_t count;
    std::memcpy(&tag, buffer + offsetof(HostRecord, tag), sizeof tag);
    std::memcpy(&count, buffer + offsetof(HostRecord, count), sizeof count);
    if (tag != kHostTag) return addresses;
    count = std::min<std::uint32_t>(count, kMaxHostRecordAddresses);
    for (std::uint32_t i = 0; i < count; ++i) {
        PackedAddress packed;
        std::memcpy(&packed, buffer + offsetof(HostRecord, addresses) + i * sizeof packed,
                    sizeof packed);
        HostAddress address;
        address.family = packed.family;
        std::memcpy(address.bytes.data(), packed.bytes, sizeof packed.bytes);
        address.scopeId = packed.scopeId;
        addresses.push_back(address);
    }
    return addresses;
}

std::uint32_t HostRecordAddress(const char* buffer) {
    for (const HostAddress& address : HostRecordAddresses(buffer))
        if (address.family == AF_INET) return address.IPv4Address();
    return 0;
}

int ResolveHostAddresses(const std::string& name, std::vector<HostAddress>* addresses) {
    addresses->clear();
    // A numeric address is its own answer, as with WinSock's gethostbyname: no
    // resolver is asked.
    if (const auto numeric = ParseNumericHost(name)) {
        addresses->push_back(*numeric);
        return 0;
    }
    HostResolver resolver;
    {
        Lookups& lookups = State();
        std::lock_guard lock(lookups.mutex);
        resolver = lookups.resolver;
    }
    const int error = resolver ? resolver(name, addresses) : SystemResolver(name, addresses);
    if (error != 0) return error;
    return addresses->empty() ? WSANO_DATA : 0;
}

std::uint16_t ServiceRecordPort(const char* buffer) {
    if (buffer == nullptr) return 0;
    std::uint32_t tag;
    std::uint16_t port;
    std::memcpy(&tag, buffer + offsetof(ServiceRecord, tag), sizeof tag);
    std::memcpy(&port, buffer + offsetof(ServiceRecord, port), sizeof port);
    return tag == kServiceTag ? port : 0;
}

bool gethostbyname(const char* name, std::uint32_t* addressNetworkOrder) {
    if (name == nullptr || addressNetworkOrder == nullptr) {
        Fail(WSAEFAULT);
        return false;
    }
    std::vector<HostAddress> addresses;
    int error = ResolveHostAddresses(name, &addresses);
    if (error == 0) {
        error = WSANO_DATA;
        for (const HostAddress& address : addresses) {
            if (address.family != AF_INET) continue;
            *addressNetworkOrder = address.IPv4Address();
            error = 0;
            break;
        }
    }
    if (error != 0) {
        Fail(error);
        return false;
    }
    return true;
}

bool getservbyname(const char* name, const char* protocol, std::uint16_t* portNetworkOrder) {
    if (name == nullptr || portNetworkOrder == nullptr) {
        Fail(WSAEFAULT);
        return false;
    }
    const int error = ResolveService(name, protocol, portNetworkOrder);
    if (error != 0) {
        Fail(error);
        return false;
    }
    return true;
}

std::uint32_t inet_addr(const char* text) {
    if (text == nullptr || *text == '\0') return INADDR_NONE;
    // The BSD parser WinSock's follows: "a.b.c.d" and its shorter, hexadecimal and
    // octal forms.
    in_addr address{};
    if (::inet_aton(text, &address) == 0) return INADDR_NONE;
    return address.s_addr;
}

void SetHostResolver(HostResolver resolver) {
    Lookups& lookups = State();
    std::lock_guard lock(lookups.mutex);
    lookups.resolver = std::move(resolver);
}

}  // namespace portvale::ws
