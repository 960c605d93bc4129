#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/serial/ReceiveFilter.h"

namespace portvale {
namespace {

using namespace std::string_literals;

std::string DecodeAll(ReceiveFilter& filter, const std::vector<std::string>& chunks) {
    std::string out;
    for (const auto& c : chunks) filter.Decode(c.data(), c.size(), out);
    return out;
}

TEST(ReceiveFilter, DecodesErrorMarksReplacementAndZeroBytes) {
    struct Row {
        const char* what;
        ReceiveFilter::Options options;
        std::vector<std::string> chunks;
        std::string expected;
    };
    const ReceiveFilter::Options plain{};
    const ReceiveFilter::Options marks{true, false, 0, false};
    const ReceiveFilter::Options replace{true, true, '?', false};
    const ReceiveFilter::Options nulls{false, false, 0, true};
    const ReceiveFilter::Options replaceWithZero{true, true, '\0', true};
    const Row rows[] = {
        {"plain passes every byte", plain, {"a\0\xFF"s}, "a\0\xFF"s},
        {"doubled 0xFF is one 0xFF", marks, {"a\xFF\xFF" "b"s}, "a\xFF" "b"s},
        {"marked byte kept without replacement", marks, {"\xFF\0x"s}, "x"},
        {"marked byte replaced", replace, {"a\xFF\0xb"s}, "a?b"},
        {"mark split across reads", replace, {"a\xFF"s, "\0"s, "xb"s}, "a?b"},
        {"doubled 0xFF split across reads", marks, {"\xFF"s, "\xFF"s}, "\xFF"s},
        {"zero bytes dropped", nulls, {"\0a\0\0b\0"s}, "ab"},
        {"replacement by zero is dropped too", replaceWithZero, {"a\xFF\0x\0b"s}, "ab"},
        {"unknown escape keeps both bytes", marks, {"\xFF" "a"s}, "\xFF" "a"s},
    };
    for (const auto& row : rows) {
        ReceiveFilter filter;
        filter.Configure(row.options);
        EXPECT_EQ(DecodeAll(filter, row.chunks), row.expected) << row.what;
    }
}

TEST(ReceiveFilter, ResetForgetsAHalfReceivedMark) {
    ReceiveFilter filter;
    filter.Configure({true, false, 0, false});
    EXPECT_EQ(DecodeAll(filter, {"\xFF"s}), "");
    filter.Reset();
    EXPECT_EQ(DecodeAll(filter, {"a"s}), "a");
}

}  // namespace
}  // namespace portvale
