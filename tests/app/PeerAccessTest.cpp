// Who a listening bridge admits: addresses and networks of both families, an IPv4
// peer seen through a dual-stack listener matched as IPv4, and entries that are none.
#include <gtest/gtest.h>

#include "app/PeerAccess.h"
#include "framework/Persistent.h"

namespace portvale {
namespace {

TEST(PeerAccessTest, AdmitsOnlyWhatTheListNames) {
    const TPeerAccess access =
        TPeerAccess::Parse({"192.168.10.0/24", "10.1.2.3", "::1", "fe80::/10", "172.16.0.0/12", "2001:db8::/33"});
    struct Row {
        const char* peer;
        bool allowed;
    };
    const Row rows[] = {
        {"192.168.10.0", true},      {"192.168.10.255", true},       {"192.168.11.1", false},
        {"10.1.2.3", true},          {"10.1.2.4", false},            {"::ffff:10.1.2.3", true},
        {"::ffff:10.1.2.4", false},  {"::1", true},                  {"::2", false},
        {"fe80::1", true},           {"febf:ffff::1", true},         {"fec0::1", false},
        {"172.31.255.255", true},    {"172.32.0.0", false},          {"2001:db8:7fff::1", true},
        {"2001:db8:8000::1", false}, {"127.0.0.1", false},           {"", false},
        {"not an address", false},   {"::ffff:192.168.10.9", true},
    };
    for (const Row& row : rows) EXPECT_EQ(access.Allows(row.peer), row.allowed) << row.peer;
    EXPECT_TRUE(TPeerAccess().Allows("203.0.113.9"));
    EXPECT_TRUE(TPeerAccess::Parse({}).Allows("::1"));
    EXPECT_TRUE(TPeerAccess::Parse({"0.0.0.0/0"}).Allows("::ffff:8.8.8.8"));
    EXPECT_FALSE(TPeerAccess::Parse({"0.0.0.0/0"}).Allows("2001:db8::1"));
}

TEST(PeerAccessTest, RefusesEntriesThatAreNoAddressOrNetwork) {
    for (const char* bad : {"", "10.0.0.0/33", "::/129", "10.0.0", "10.0.0.0/", "10.0.0.0/-1", "host.example",
                            "[::1]", "10.0.0.0/8/8", "::1/1x"}) {
        EXPECT_FALSE(TPeerAccess::Valid(bad)) << bad;
        EXPECT_THROW(TPeerAccess::Parse({"10.0.0.0/8", bad}), EConvertError) << bad;
    }
    for (const char* good : {"0.0.0.0/0", "::/0", "10.0.0.0/8", "fe80::/10", "::ffff:10.0.0.1"})
        EXPECT_TRUE(TPeerAccess::Valid(good)) << good;
}

}  // namespace
}  // namespace portvale
