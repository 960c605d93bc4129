#include "app/Rfc2217.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/app/TelnetBytes.h"

namespace portvale::rfc2217 {
namespace {

using K = Event::Kind;

using test::B;

Event Data(std::string bytes) { return {K::Data, 0, 0, std::move(bytes)}; }
Event Neg(std::uint8_t verb, std::uint8_t option) { return {K::Negotiation, verb, option, {}}; }
Event Sub(std::uint8_t option, std::string payload) { return {K::Subnegotiation, 0, option, std::move(payload)}; }

// Malformed events are compared by kind and option; their text is for the log.
void ExpectEvents(const std::vector<Event>& want, const std::vector<Event>& got) {
    ASSERT_EQ(want.size(), got.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (want[i].kind == K::Malformed) {
            EXPECT_EQ(K::Malformed, got[i].kind) << i;
            EXPECT_EQ(want[i].option, got[i].option) << i;
            EXPECT_FALSE(got[i].bytes.empty()) << i;
        } else {
            EXPECT_EQ(want[i], got[i]) << i;
        }
    }
}

std::vector<Event> Decode(const std::string& bytes) {
    Decoder decoder;
    std::vector<Event> out;
    decoder.Feed(bytes, out);
    return out;
}

// Data events that follow each other made one, as one Feed would give them.
std::vector<Event> Merged(std::vector<Event> events) {
    std::vector<Event> merged;
    for (auto& e : events) {
        if (e.kind == K::Data && !merged.empty() && merged.back().kind == K::Data)
            merged.back().bytes += e.bytes;
        else
            merged.push_back(std::move(e));
    }
    return merged;
}

// The same bytes fed one at a time give the same events, data merged back.
std::vector<Event> DecodeBytewise(const std::string& bytes) {
    Decoder decoder;
    std::vector<Event> out;
    for (const char c : bytes) decoder.Feed(std::string_view(&c, 1), out);
    return Merged(std::move(out));
}

// The bytes fed in two pieces cut at `cut`, data merged back.
std::vector<Event> DecodeCut(const std::string& bytes, std::size_t cut) {
    Decoder decoder;
    std::vector<Event> out;
    decoder.Feed(std::string_view(bytes).substr(0, cut), out);
    decoder.Feed(std::string_view(bytes).substr(cut), out);
    return Merged(std::move(out));
}

struct DecodeCase {
    const char* name;
    std::string input;
    std::vector<Event> events;
};

TEST(Rfc2217Decoder, Table) {
    const Event malformed44{K::Malformed, 0, 44, "x"};
    const std::string longPayload(kMaxSubnegotiation, 'a');
    const std::vector<DecodeCase> cases = {
        {"plain data", "hello", {Data("hello")}},
        {"CR NUL stays", B({'a', 13, 0, 'b'}), {Data(B({'a', 13, 0, 'b'}))}},
        {"IAC IAC is one 0xFF", B({1, IAC, IAC, 2}), {Data(B({1, 0xFF, 2}))}},
        {"only 0xFF", B({IAC, IAC, IAC, IAC}), {Data(B({0xFF, 0xFF}))}},
        {"negotiation between data", B({'a', IAC, WILL, 44, 'b'}), {Data("a"), Neg(WILL, 44), Data("b")}},
        {"every verb", B({IAC, WILL, 0, IAC, WONT, 1, IAC, DO, 3, IAC, DONT, 44}),
         {Neg(WILL, 0), Neg(WONT, 1), Neg(DO, 3), Neg(DONT, 44)}},
        {"NOP and stray SE ignored", B({'a', IAC, 241, IAC, SE, 'b'}), {Data("ab")}},
        {"subnegotiation", B({IAC, SB, 44, 1, 0, 0, 0x25, 0x80, IAC, SE}), {Sub(44, B({1, 0, 0, 0x25, 0x80}))}},
        {"escaped 0xFF in payload", B({IAC, SB, 44, 1, IAC, IAC, 0, 0, 0, IAC, SE, 'x'}),
         {Sub(44, B({1, 0xFF, 0, 0, 0})), Data("x")}},
        {"empty subnegotiation", B({IAC, SB, 44, IAC, SE}), {Sub(44, "")}},
        {"cut short by a negotiation", B({IAC, SB, 44, 1, 2, IAC, WILL, 0, 'z'}),
         {malformed44, Neg(WILL, 0), Data("z")}},
        {"cut short by a NOP", B({IAC, SB, 44, 5, IAC, 241, 'z'}), {malformed44, Data("z")}},
        {"cut short by another SB", B({IAC, SB, 44, 5, IAC, SB, 44, 6, IAC, SE}), {malformed44, Sub(44, B({6}))}},
        {"no option", B({IAC, SB, IAC, WILL, 1}), {{K::Malformed, 0, 0, "x"}, Neg(WILL, 1)}},
        {"longest payload taken", B({IAC, SB, 44}) + longPayload + B({IAC, SE}), {Sub(44, longPayload)}},
        // Past the bound, a subnegotiation is dropped whole: only its IAC SE ends it.
        {"one byte more dropped whole", B({IAC, SB, 44}) + longPayload + "bc" + B({IAC, SE}), {malformed44}},
        {"overlong then data", B({'a', IAC, SB, 44}) + longPayload + "bc" + B({IAC, SE, 'd', IAC, IAC, 'e'}),
         {Data("a"), malformed44, Data(B({'d', 0xFF, 'e'}))}},
        {"escaped 0xFF past the bound dropped", B({IAC, SB, 44}) + longPayload + B({IAC, IAC, 'q', IAC, SE, 'r'}),
         {malformed44, Data("r")}},
        {"IAC IAC SE inside is an escaped 0xFF and an SE byte", B({IAC, SB, 44}) + longPayload +
             B({IAC, IAC, SE, 'q', IAC, IAC, IAC, IAC, SE, 'r', IAC, IAC, IAC, SE, 's'}),
         {malformed44, Data("s")}},
        {"other commands inside do not end it", B({IAC, SB, 44}) + longPayload +
             B({'p', IAC, WILL, 44, IAC, 241, 'q', IAC, SB, 44, 1, IAC, 'x', IAC, SE, 'r'}),
         {malformed44, Data("r")}},
        {"unterminated never leaks", B({IAC, SB, 44}) + longPayload + "data" + B({IAC, IAC, 'm', 'o', 'r', 'e'}),
         {malformed44}},
        {"each overlong one reported", B({IAC, SB, 44}) + longPayload + B({'a', IAC, SE, IAC, SB, 3}) + longPayload +
             B({'b', IAC, SE, 'c'}),
         {malformed44, {K::Malformed, 0, 3, "x"}, Data("c")}},
        {"a short one after an overlong one", B({IAC, SB, 44}) + longPayload + B({'a', IAC, SE}) +
             B({IAC, SB, 44, 2, 7, IAC, SE, 'c'}),
         {malformed44, Sub(44, B({2, 7})), Data("c")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectEvents(c.events, DecodeBytewise(c.input));
        for (std::size_t cut = 0; cut <= c.input.size(); ++cut) {
            SCOPED_TRACE(testing::Message() << "cut at " << cut);
            ExpectEvents(c.events, DecodeCut(c.input, cut));
        }
    }
}

TEST(Rfc2217Decoder, UnfinishedSubnegotiationWaitsForItsEnd) {
    Decoder decoder;
    std::vector<Event> out;
    decoder.Feed(B({'a', IAC, SB, 44, 3}), out);
    ExpectEvents({Data("a")}, out);
    out.clear();
    decoder.Feed(B({4, IAC, SE, 'b'}), out);
    ExpectEvents({Sub(44, B({3, 4})), Data("b")}, out);
}

struct RequestCase {
    const char* name;
    std::string payload;
    std::optional<Request> request;  // nullopt: an error
};

TEST(Rfc2217Requests, Table) {
    const std::vector<RequestCase> cases = {
        {"signature query", B({0}), Request{Command::Signature, 0, ""}},
        {"signature text", B({0, 'a', 'b'}), Request{Command::Signature, 0, "ab"}},
        {"baud 9600", B({1, 0, 0, 0x25, 0x80}), Request{Command::SetBaudRate, 9600, ""}},
        {"baud query", B({1, 0, 0, 0, 0}), Request{Command::SetBaudRate, 0, ""}},
        {"baud 0xFFFFFFFF", B({1, 255, 255, 255, 255}), Request{Command::SetBaudRate, 0xFFFFFFFFu, ""}},
        {"data size", B({2, 7}), Request{Command::SetDataSize, 7, ""}},
        {"parity", B({3, kParityEven}), Request{Command::SetParity, kParityEven, ""}},
        {"stop size", B({4, kStopTwo}), Request{Command::SetStopSize, kStopTwo, ""}},
        {"control", B({5, kControlDtrOn}), Request{Command::SetControl, kControlDtrOn, ""}},
        {"notify linestate", B({6, 0x10}), Request{Command::NotifyLineState, 0x10, ""}},
        {"notify modemstate", B({7, 0x30}), Request{Command::NotifyModemState, 0x30, ""}},
        {"modemstate asked", B({7}), Request{Command::NotifyModemState, 0, "", true}},
        {"linestate with two values", B({6, 1, 2}), std::nullopt},
        {"suspend", B({8}), Request{Command::FlowControlSuspend, 0, ""}},
        {"resume", B({9}), Request{Command::FlowControlResume, 0, ""}},
        {"linestate mask", B({10, 0xFF}), Request{Command::SetLineStateMask, 0xFF, ""}},
        {"modemstate mask", B({11, 0xF0}), Request{Command::SetModemStateMask, 0xF0, ""}},
        {"purge", B({12, kPurgeBoth}), Request{Command::PurgeData, kPurgeBoth, ""}},
        {"empty", "", std::nullopt},
        {"unknown command", B({13, 1}), std::nullopt},
        {"server code from a client", B({101, 0, 0, 0, 1}), std::nullopt},
        {"baud truncated", B({1, 0, 0, 0x25}), std::nullopt},
        {"baud too long", B({1, 0, 0, 0x25, 0x80, 0}), std::nullopt},
        {"data size without value", B({2}), std::nullopt},
        {"control with two values", B({5, 8, 9}), std::nullopt},
        {"suspend with a value", B({8, 1}), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ParsedRequest parsed = ParseRequest(c.payload);
        EXPECT_EQ(c.request, parsed.request);
        EXPECT_EQ(!c.request, !parsed.error.empty()) << parsed.error;
    }
}

struct EncodeCase {
    const char* name;
    std::string encoded;
    std::string wire;
};

TEST(Rfc2217Encoders, Table) {
    const std::vector<EncodeCase> cases = {
        {"data unchanged", EscapeData(B({0, 13, 0, 10, 254})), B({0, 13, 0, 10, 254})},
        {"0xFF doubled", EscapeData(B({IAC, 'a', IAC})), B({IAC, IAC, 'a', IAC, IAC})},
        {"negotiation", Negotiation(WILL, 44), B({IAC, WILL, 44})},
        {"baud reply", Reply(Command::SetBaudRate, 115200), B({IAC, SB, 44, 101, 0, 1, 0xC2, 0, IAC, SE})},
        {"baud reply with 0xFF", Reply(Command::SetBaudRate, 0xFF00FF),
         B({IAC, SB, 44, 101, 0, IAC, IAC, 0, IAC, IAC, IAC, SE})},
        {"one-byte reply", Reply(Command::SetParity, kParityOdd), B({IAC, SB, 44, 103, kParityOdd, IAC, SE})},
        {"modem state", Reply(Command::NotifyModemState, 0x31), B({IAC, SB, 44, 107, 0x31, IAC, SE})},
        {"suspend reply has no value", Reply(Command::FlowControlSuspend, 0), B({IAC, SB, 44, 108, IAC, SE})},
        {"signature", SignatureReply("pv"), B({IAC, SB, 44, 100, 'p', 'v', IAC, SE})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.wire, c.encoded);
    }
}

// A server's reply decodes to the subnegotiation it carries.
TEST(Rfc2217Encoders, RepliesDecodeBack) {
    for (const std::uint32_t rate : {0u, 50u, 9600u, 0xFFu, 0xFFFFFFFFu, 0x00FF00FFu}) {
        const auto events = Decode(Reply(Command::SetBaudRate, rate));
        ASSERT_EQ(1u, events.size());
        const std::string& p = events[0].bytes;
        ASSERT_EQ(5u, p.size());
        std::uint32_t back = 0;
        for (std::size_t i = 1; i < 5; ++i) back = (back << 8) | static_cast<std::uint8_t>(p[i]);
        EXPECT_EQ(rate, back);
    }
}

struct NegotiationCase {
    const char* name;
    bool started;  // after the server's opening offers
    std::vector<std::pair<std::uint8_t, std::uint8_t>> received;
    std::string replies;  // all answers, concatenated
    bool comPort;
    bool binaryBoth;
};

TEST(Rfc2217Negotiator, Table) {
    const std::vector<NegotiationCase> cases = {
        {"client asks first", false,
         {{WILL, 0}, {DO, 0}, {WILL, 44}, {DO, 44}},
         B({IAC, DO, 0, IAC, WILL, 0, IAC, DO, 44, IAC, WILL, 44}), true, true},
        {"acks to our offers are not answered", true, {{DO, 0}, {WILL, 0}, {DO, 44}, {WILL, 44}}, "", true, true},
        {"repeated requests are not answered", false, {{WILL, 44}, {WILL, 44}}, B({IAC, DO, 44}), true, false},
        {"others refused politely", true, {{WILL, 3}, {DO, 3}, {DO, 1}, {WILL, 24}},
         B({IAC, DONT, 3, IAC, WONT, 3, IAC, WONT, 1, IAC, DONT, 24}), false, false},
        {"refusals of unknown options not answered", true, {{WONT, 3}, {DONT, 1}}, "", false, false},
        {"client refuses our offer", true, {{WONT, 44}, {DONT, 44}}, "", false, false},
        {"client turns com port off", false, {{WILL, 44}, {WONT, 44}, {WONT, 44}},
         B({IAC, DO, 44, IAC, DONT, 44}), false, false},
        {"not a verb", false, {{SB, 44}}, "", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Negotiator n;
        if (c.started) {
            EXPECT_EQ(B({IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 44, IAC, DO, 44}), n.Start());
        }
        std::string replies;
        for (const auto& [verb, option] : c.received) replies += n.Receive(verb, option);
        EXPECT_EQ(c.replies, replies);
        EXPECT_EQ(c.comPort, n.ComPortActive());
        EXPECT_EQ(c.binaryBoth, n.BinaryToClient() && n.BinaryToServer());
    }
}

// Random input cut into random blocks: the decoder never stalls or crashes, every
// block's events are complete, and data escaped by the encoder comes back exact
// whatever commands are mixed in and however it is cut.
TEST(Rfc2217Fuzz, RandomInputs) {
    std::mt19937 random(2217);
    for (int round = 0; round < 400; ++round) {
        // Arbitrary bytes, biased towards the telnet command codes.
        std::string junk(1 + random() % 2000, '\0');
        for (char& c : junk) c = static_cast<char>(random() % 4 ? random() % 256 : 240 + random() % 16);
        Decoder decoder;
        std::vector<Event> events;
        for (std::size_t at = 0; at < junk.size();) {
            const std::size_t n = 1 + random() % 64;
            decoder.Feed(std::string_view(junk).substr(at, n), events);
            at += n;
        }
        for (const auto& e : events) {
            EXPECT_LE(e.bytes.size(), e.kind == K::Data ? junk.size() : kMaxSubnegotiation + 80);
            if (e.kind == K::Subnegotiation && e.option == kOptionComPort) {
                ParseRequest(e.bytes);
                ParseAnswer(e.bytes);
            }
        }
        // Whatever state the decoder is left in, a byte and IAC SE close it, and data
        // then passes.
        events.clear();
        decoder.Feed(B({'x', IAC, SE}) + EscapeData(B({'o', IAC, 'k'})), events);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(K::Data, events.back().kind);
        EXPECT_TRUE(events.back().bytes.ends_with(B({'o', IAC, 'k'})));

        // Escaped data with commands between: the data comes back whole.
        std::string data(random() % 3000, '\0');
        for (char& c : data) c = static_cast<char>(random() % 3 ? random() % 256 : 0xFF);
        std::string wire;
        for (std::size_t at = 0; at < data.size();) {
            const std::size_t n = 1 + random() % 300;
            wire += EscapeData(std::string_view(data).substr(at, n));
            wire += random() % 2 ? Negotiation(WILL, static_cast<std::uint8_t>(random()))
                                 : Reply(Command::SetBaudRate, static_cast<std::uint32_t>(random()));
            at += n;
        }
        Decoder clean;
        std::vector<Event> got;
        for (std::size_t at = 0; at < wire.size();) {
            const std::size_t n = 1 + random() % 100;
            clean.Feed(std::string_view(wire).substr(at, n), got);
            at += n;
        }
        std::string back;
        for (const auto& e : got) {
            EXPECT_NE(K::Malformed, e.kind);
            if (e.kind == K::Data) back += e.bytes;
        }
        ASSERT_EQ(data, back) << "round " << round;
    }
}

}  // namespace
}  // namespace portvale::rfc2217
