// The packet detector: starts, stops, sizes, the include rule, the buffer limit,
// custom handlers and setting changes, fed by hand; and fed by a port through its link.
#include <functional>

#include "comport/ComPort.h"
#include "tests/comport/ComPortTestSupport.h"

namespace portvale {
namespace {

using Step = std::function<void(TComDataPacket&)>;

Step Feed(const std::string& text) {
    return [text](TComDataPacket& p) { p.AddData(text); };
}

struct PacketCase {
    const char* what;
    Step configure;
    std::vector<Step> steps;
    std::vector<std::string> log;  // packets, discards, and "|" after each step
    std::string pending;
    bool collecting;
};

Step Strings(const std::string& start, const std::string& stop) {
    return [start, stop](TComDataPacket& p) {
        p.SetStartString(start);
        p.SetStopString(stop);
    };
}

// The 1-based position of ch in str, or -1.
std::int32_t PosOf(const std::string& str, char ch) {
    const auto at = str.find(ch);
    return at == std::string::npos ? -1 : static_cast<std::int32_t>(at) + 1;
}

TEST(ComDataPacketTest, CutsTextAsTheRulesSay) {
    const Step nothing = [](TComDataPacket&) {};
    const PacketCase cases[] = {
        {"no stop condition: each chunk as it comes", Strings("<", ""), {Feed("ab"), Feed("<c")},
         {"packet ab", "|", "packet <c", "|"}, "", false},
        {"noise, start, data, stop", Strings("<", ">"), {Feed("xx<12>")}, {"discard xx", "packet 12", "|"}, "", false},
        {"strings kept inside", [](TComDataPacket& p) { Strings("<", ">")(p); p.SetIncludeStrings(true); },
         {Feed("xx<12>")}, {"discard xx", "packet <12>", "|"}, "", false},
        {"packet across two chunks", Strings("<", ">"), {Feed("<1"), Feed("2>")}, {"|", "packet 12", "|"}, "",
         false},
        {"two packets in one chunk", Strings("<", ">"), {Feed("<a><b>z")}, {"packet a", "packet b", "|"}, "z", false},
        {"fixed size", [](TComDataPacket& p) { p.SetSize(4); }, {Feed("abcdefghij")},
         {"packet abcd", "packet efgh", "|"}, "ij", true},
        {"limit reached without a start",
         [](TComDataPacket& p) { Strings("<", ">")(p); p.SetMaxBufferSize(8); }, {Feed("abcdefgh")},
         {"discard abcdefgh", "|"}, "", false},
        {"limit not reached", [](TComDataPacket& p) { Strings("<", ">")(p); p.SetMaxBufferSize(8); },
         {Feed("abcdefg")}, {"|"}, "abcdefg", false},
        {"no limit", [](TComDataPacket& p) { Strings("<", ">")(p); p.SetMaxBufferSize(0); },
         {Feed(std::string(2000, 'a'))}, {"|"}, std::string(2000, 'a'), false},
        {"case-insensitive strings",
         [](TComDataPacket& p) { Strings("AB", "YZ")(p); p.SetCaseInsensitive(true); }, {Feed("xxab1yz")},
         {"discard xx", "packet 1", "|"}, "", false},
        {"case-sensitive strings", Strings("AB", "YZ"), {Feed("xxab1yz")}, {"|"}, "xxab1yz", false},
        {"start string never taken for the stop", Strings("#", "#"), {Feed("#ab#")}, {"packet ab", "|"}, "", false},
        {"stop found earlier in a sized packet stays", [](TComDataPacket& p) { p.SetStopString("z"); p.SetSize(4); },
         {Feed("azbz")}, {"packet azbz", "|"}, "", true},
        {"changing the stop while collecting discards", Strings("<", ">"),
         {Feed("n<12"), [](TComDataPacket& p) { p.SetStopString("!"); }, Feed("3!")},
         {"discard n", "|", "discard <12", "|", "|"}, "3!", false},
        {"a change while loading keeps the text", Strings("<", ">"),
         {Feed("<12"), [](TComDataPacket& p) { p.BeginLoading(); p.SetStopString("!"); }, Feed("!")},
         {"|", "|", "packet 12", "|"}, "", false},
        {"custom start and stop",
         [](TComDataPacket& p) {
             p.OnCustomStart = [](TObject*, const std::string& s, std::int32_t& pos) { pos = PosOf(s, 'S'); };
             p.OnCustomStop = [](TObject*, const std::string& s, std::int32_t& pos) { pos = PosOf(s, ';'); };
         },
         {Feed("xxS1;S2"), Feed(";")}, {"discard xx", "packet S1;", "|", "packet S2;", "|"}, "", true},
        {"custom start 0 waits", [](TComDataPacket& p) {
             p.SetStopString(">");
             p.OnCustomStart = [](TObject*, const std::string&, std::int32_t& pos) { pos = 0; };
         },
         {Feed("a>")}, {"|"}, "a>", false},
        {"custom stop past the text takes it all",
         [](TComDataPacket& p) { p.OnCustomStop = [](TObject*, const std::string&, std::int32_t& pos) { pos = 99; }; },
         {Feed("abc")}, {"packet abc", "|"}, "", true},
        {"empty chunk without a stop condition", nothing, {Feed("")}, {"packet ", "|"}, "", false},
    };
    for (const auto& c : cases) {
        TComDataPacket packet(nullptr);
        std::vector<std::string> log;
        packet.OnPacket = [&log](TObject* sender, const std::string& s) {
            EXPECT_NE(sender, nullptr);
            log.push_back("packet " + s);
        };
        packet.OnDiscard = [&log](TObject*, const std::string& s) { log.push_back("discard " + s); };
        c.configure(packet);
        for (const auto& step : c.steps) {
            step(packet);
            log.push_back("|");
        }
        EXPECT_EQ(log, c.log) << c.what;
        EXPECT_EQ(packet.PendingText(), c.pending) << c.what;
        EXPECT_EQ(packet.CollectingPacket(), c.collecting) << c.what;
    }
}

TEST(ComDataPacketTest, ManyPacketsInOneChunkAndARaisingDiscardHandler) {
    TComDataPacket packet(nullptr);
    packet.SetSize(1);
    packet.SetMaxBufferSize(0);
    int count = 0;
    packet.OnPacket = [&count](TObject*, const std::string&) { ++count; };
    packet.AddData(std::string(20000, 'x'));
    EXPECT_EQ(count, 20000);

    packet.SetSize(0);
    packet.SetStopString(">");
    packet.AddData("abc");
    packet.OnDiscard = [](TObject*, const std::string&) { throw Exception("handler failed"); };
    EXPECT_THROW(packet.SetStopString("!"), Exception);
    EXPECT_EQ(packet.PendingText(), "");
    EXPECT_FALSE(packet.CollectingPacket());
}

class ComDataPacketOnPort : public test::RecordedPortTest {};

TEST_F(ComDataPacketOnPort, PortHandsReceivedBytesToThePacketInsteadOfOnRxChar) {
    auto packet = std::make_unique<TComDataPacket>(nullptr);
    packet->SetStartString("<");
    packet->SetStopString(">");
    std::vector<std::string> packets;
    packet->OnPacket = [&packets](TObject*, const std::string& s) { packets.push_back(s); };
    port->OnRxChar = [this](TObject*, std::int32_t n) { log.Add("RxChar " + std::to_string(n)); };
    packet->SetComPort(port.get());
    EXPECT_FALSE(port->TriggersOnRxChar());
    port->SetEvents({evRxChar});
    port->Open();
    api.AddInput("x<hel");
    api.RaiseEvents(EV_RXCHAR);
    ASSERT_TRUE(test::PumpUntil([&] { return api.Input().empty(); }));
    api.AddInput("lo>");
    api.RaiseEvents(EV_RXCHAR);
    ASSERT_TRUE(test::PumpUntil([&] { return !packets.empty(); }));
    EXPECT_EQ(packets, std::vector<std::string>{"hello"});
    EXPECT_EQ(log.Size(), 0u);

    // Whichever goes first, the other lets go of it.
    port.reset();
    EXPECT_EQ(packet->ComPort(), nullptr);
    port = std::make_unique<TComPort>(nullptr);
    packet->SetComPort(port.get());
    EXPECT_TRUE(port->HasLink());
    packet.reset();
    EXPECT_FALSE(port->HasLink());
    EXPECT_TRUE(port->TriggersOnRxChar());
}

}  // namespace
}  // namespace portvale
