#include "app/Rfc2217.h"
#include "app/Rfc2217Client.h"
#include <cstddef>
#include <cstdint>

#include "tests/app/RecordingFilterSite.h"
// libFuzzer target (clang: cmake -DPORTVALE_FUZZ=ON, then run build/tests/fuzz_rfc2217):
// any bytes, cut where the first byte says, through the decoder, the request and
// answer parsers, the negotiator, and the client's side as a server's bytes. The deterministic counterpart runs in ctest (Rfc2217Fuzz).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    portvale::test::RecordingFilterSite site;
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
    // The connection is only a key to the client; its site takes what it sends.
    const portvale::TConnectionId connection = 16;
    portvale::TRfc2217Client client(LineSettings{});
    client.Attach(site);
    client.Opened(connection);
    (void)client.FromNetwork(connection, std::string(bytes.substr(0, cut)));
    client.SetLine(LineSettings{115200, 7, kParityEven, kStopTwo, kControlFlowHardware});
    (void)client.FromNetwork(connection, std::string(bytes.substr(cut)));
    client.Closed(connection);
    Negotiator negotiator;
    for (std::size_t i = 0; i + 1 < size; i += 2) negotiator.Receive(data[i], data[i + 1]);
    return 0;
}
