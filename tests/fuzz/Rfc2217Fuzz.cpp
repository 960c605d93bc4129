#include "app/Rfc2217.h"
#include "app/Rfc2217Client.h"
#include <cstdint>
#include <cstddef>
// libFuzzer target (clang: cmake -DPORTVALE_FUZZ=ON, then run build/tests/fuzz_rfc2217):
// any bytes, cut where the first byte says, through the decoder, the request and
// answer parsers, the negotiator, and the client's side as a server's bytes. The deterministic counterpart runs in ctest (Rfc2217Fuzz).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace portvale::rfc2217;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = size ? data[0] % (size + 1) : 0;
    Decoder decoder;
    std::vector<Event> events;
    decoder.Feed(bytes.substr(0, cut), events);
    decoder.Feed(bytes.substr(cut), events);
    for (const Event& e : events) {
        if (e.kind == Event::Kind::Subnegotiation) {
            if (e.bytes.size() > kMaxSubnegotiation) __builtin_trap();
            (void)ParseRequest(e.bytes);
            (void)ParseAnswer(e.bytes);
        }
    }
    // The connection is only a key to the client; it is never used as a socket.
    auto* const connection = reinterpret_cast<portvale::TCustomWinSocket*>(std::uintptr_t{16});
    portvale::TRfc2217Client client(LineSettings{}, {[](portvale::TCustomWinSocket*, std::string) {}, [](bool) {},
                                                    [](const std::string&) {}, [](std::uint8_t) {}});
    client.Connected(connection);
    (void)client.FromTcp(connection, std::string(bytes.substr(0, cut)));
    client.SetLine(LineSettings{115200, 7, kParityEven, kStopTwo, kControlFlowHardware});
    (void)client.FromTcp(connection, std::string(bytes.substr(cut)));
    client.Disconnected(connection);
    Negotiator negotiator;
    for (std::size_t i = 0; i + 1 < size; i += 2) negotiator.Receive(data[i], data[i + 1]);
    return 0;
}
