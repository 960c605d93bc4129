// The one table of keys: the command line and a configuration file give the same
// value the same verdict, differ only where the table says so, and the README's
// key list and the example file name exactly the table's keys.

#include "headless/BridgeKeys.h"

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "headless/HeadlessOptions.h"
#include "headless/ServiceConfig.h"

namespace portvale::headless {
namespace {

std::string SourceFile(const std::string& name) {
    std::ifstream in(std::string(PORTVALE_SOURCE_DIR) + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// One value as each road writes it, with what it needs beside it on each.
struct Row {
    const char* key;
    std::optional<std::string> option;  // after "--KEY="; none: the option alone
    std::string toml;
    bool good;
    std::vector<std::string> alsoOptions = {};
    std::string alsoToml = {};
};

const std::vector<std::string> kCert{"--tls-cert=c.pem", "--tls-key=k.pem"};
const char* const kCertToml = "tls-cert = \"c.pem\"\ntls-key = \"k.pem\"\n";
const char* const kConnect = "connect = \"192.0.2.1:4001\"\n";
const char* const kCapture = "capture = \"c.capture\"\n";

const Row kRows[] = {
    {"clients", "1", "1", true},
    {"clients", "1025", "1025", true},
    {"clients", "65535", "65535", true},
    {"clients", "0", "0", false},
    {"clients", "65536", "65536", false},
    {"max-lag", "1", "1", true},
    {"max-lag", "1099511627776", "1099511627776", true},
    {"max-lag", "0", "0", false},
    {"max-lag", "1099511627777", "1099511627777", false},
    {"reconnect", "0", "0", true},
    {"reconnect", "86400", "86400", true},
    {"reconnect", "86401", "86401", false},
    {"reconnect", "-1", "-1", false},
    {"keepalive", "32767", "32767", true},
    {"keepalive", "32768", "32768", false},
    {"capture-max", "1048576", "1048576", true, {"--capture=c.capture"}, kCapture},
    {"capture-max", "1048577", "1048577", false, {"--capture=c.capture"}, kCapture},
    {"capture-max", "-1", "-1", false, {"--capture=c.capture"}, kCapture},
    {"baud", "250000", "250000", true},
    {"baud", "0", "0", false},
    {"baud", "-9600", "-9600", false},
    {"data-bits", "5", "5", true},
    {"data-bits", "4", "4", false},
    {"data-bits", "9", "9", false},
    {"parity", "mark", "\"mark\"", true},
    {"parity", "odd2", "\"odd2\"", false},
    {"stop-bits", "1.5", "1.5", true},
    {"stop-bits", "1.5", "\"1.5\"", true},
    {"stop-bits", "2", "2", true},
    {"stop-bits", "3", "3", false},
    {"flow", "software", "\"software\"", true},
    {"flow", "rts", "\"rts\"", false},
    {"listen", "[::1]:4001", "\"[::1]:4001\"", true},
    {"listen", "0.0.0.0:4002", "\"0.0.0.0:4002\"", true},
    {"listen", "::1:4001", "\"::1:4001\"", false},
    {"listen", "999.1.1.1:4001", "\"999.1.1.1:4001\"", false},
    {"listen", "[x]:4001", "\"[x]:4001\"", false},
    {"listen", "127.0.0.1:0", "\"127.0.0.1:0\"", false},
    {"allow", "10.0.0.0/8,::1", "[\"10.0.0.0/8\", \"::1\"]", true},
    {"allow", "10.0.0.0/33", "[\"10.0.0.0/33\"]", false},
    {"allow", "10.1.2.3,fe80::/129", "[\"10.1.2.3\", \"fe80::/129\"]", false},
    {"share", std::nullopt, "true", true},
    {"share", "yes", "\"yes\"", false},
    {"kick-old", std::nullopt, "true", true},
    {"kick-old", "1", "1", false},
    {"log", std::nullopt, "true", true},
    {"log", "on", "\"on\"", false},
    {"rfc2217", std::nullopt, "true", true},
    {"rfc2217", "true", "\"true\"", false},
    {"tls", std::nullopt, "true", true, {}, kConnect},
    {"tls", "on", "\"on\"", false, {}, kConnect},
    {"serial", "/dev/ttyUSB3", "\"/dev/ttyUSB3\"", true},
    {"capture", "/tmp/c.capture", "\"/tmp/c.capture\"", true},
    {"tls-cert", "c.pem", "\"c.pem\"", true, {"--tls-key=k.pem"}, "tls-key = \"k.pem\"\n"},
    {"tls-key", "k.pem", "\"k.pem\"", true, {"--tls-cert=c.pem"}, "tls-cert = \"c.pem\"\n"},
    {"tls-client-ca", "ca.pem", "\"ca.pem\"", true, kCert, kCertToml},
    {"tls-ca", "ca.pem", "\"ca.pem\"", true, {"--tls"}, std::string("tls = true\n") + kConnect},
    {"metrics", "127.0.0.1:9187", "\"127.0.0.1:9187\"", true},
    {"metrics", "[::1]:9187", "\"[::1]:9187\"", true},
    {"metrics", "9187", "\"9187\"", false},
    {"metrics", ":9187", "\":9187\"", false},
};

std::string FileOf(const Row& row, const BridgeKey& key) {
    const std::string line = std::string(row.key) + " = " + row.toml + "\n";
    std::string bridge = "[[bridge]]\nname = \"t\"\n" + row.alsoToml + (key.service ? "" : line);
    if (row.key != std::string_view("serial")) bridge += "serial = \"/dev/ttyS9\"\n";
    if (row.key != std::string_view("listen") && row.alsoToml.find("connect") == std::string::npos)
        bridge += "listen = \"127.0.0.1:4001\"\n";
    return key.service ? "[service]\n" + line + bridge : bridge;
}

TEST(BridgeKeysTest, BothRoadsGiveAValueTheSameVerdictAndReadTheSame) {
    std::set<std::string> good, bad;
    for (const Row& row : kRows) {
        const std::string option = "--" + std::string(row.key) + (row.option ? "=" + *row.option : "");
        SCOPED_TRACE(option + " / " + row.key + " = " + row.toml);
        const BridgeKey* key = FindKey(row.key, Road::Both);
        ASSERT_TRUE(key && key->road == Road::Both);
        (row.good ? good : bad).insert(row.key);

        std::vector<std::string> args{option};
        args.insert(args.end(), row.alsoOptions.begin(), row.alsoOptions.end());
        const ParseResult line = ParseOptions(args);
        const ConfigResult file = ParseServiceConfig(FileOf(row, *key), "f.toml");
        EXPECT_EQ(line.error.empty(), row.good) << line.error;
        EXPECT_EQ(file.error.empty(), row.good) << file.error;
        if (!row.good) {
            // Refused for the value itself, not for what stands beside it.
            EXPECT_EQ(line.error.rfind("--" + std::string(row.key), 0), 0u) << line.error;
            EXPECT_NE(file.error.find(": " + std::string(row.key) + ": "), std::string::npos) << file.error;
        } else if (key->service) {
            EXPECT_EQ(line.options.metrics.value_or(""), file.config.metrics);
        } else if (!file.config.bridges.empty()) {
            EXPECT_NE(ValueText(*key, line.options), "");
            EXPECT_EQ(ValueText(*key, line.options), ValueText(*key, file.config.bridges[0]));
        }
    }
    // Every setting the roads share is tried; one that can refuse a name is refused.
    for (const BridgeKey& key : BridgeKeys()) {
        if (key.road != Road::Both) continue;
        EXPECT_TRUE(good.count(key.name)) << key.name << " has no value both roads take";
        if (key.kind != KeyKind::File) {
            EXPECT_TRUE(bad.count(key.name)) << key.name << " has no value both refuse";
        }
    }
}

// The two differences the table declares: an empty name, which undoes [defaults]
// in a file and is a mistake on the command line, and the clients of one bridge.
TEST(BridgeKeysTest, TheRoadsDifferOnlyWhereTheTableSaysSo) {
    const ConfigResult file = ParseServiceConfig(R"([defaults]
capture = "/var/log/portvale/all.capture"
tls-cert = "/etc/portvale/server.pem"
tls-key = "/etc/portvale/server.key"

[[bridge]]
name = "plain"
serial = "/dev/ttyS0"
listen = "127.0.0.1:4001"
capture = ""
tls-cert = ""
tls-key = ""
)",
                                                 "f.toml");
    ASSERT_EQ(file.error, "");
    const BridgeConfig& plain = file.config.bridges.at(0);
    EXPECT_EQ(plain.capture, std::nullopt);
    EXPECT_FALSE(TlsEnabled(plain));
    EXPECT_EQ(plain.clients, 1);
    for (const char* option : {"--capture=", "--tls-cert=", "--serial="}) {
        SCOPED_TRACE(option);
        EXPECT_NE(ParseOptions({option}).error.find(" needs a "), std::string::npos);
    }
    EXPECT_EQ(ParseOptions({}).options.clients, kAnyNumberOfClients);
    const BridgeKey* clients = FindKey("clients", Road::Both);
    EXPECT_EQ(DefaultText(*clients, Road::File), "1");
    EXPECT_EQ(DefaultText(*clients, Road::CommandLine), "any number");
    for (const BridgeKey& key : BridgeKeys())
        EXPECT_EQ(key.commandLineDefault.has_value(), &key == clients) << key.name;
}

// The README's table of keys: "| `KEY` | `--KEY` | VALUE | DEFAULT | meaning |".
TEST(BridgeKeysTest, TheReadmeListsEveryKeyWithItsOptionRangeAndDefault) {
    const std::string readme = SourceFile("README.md");
    const auto start = readme.find("\n### Keys of the configuration file\n");
    ASSERT_NE(start, std::string::npos);
    const std::string section = readme.substr(start, readme.find("\n#", start + 1) - start);
    const std::regex row(R"(\n\| `([a-z0-9-]+)` \| ([^|]*) \| ([^|]*) \| ([^|]*) \|)");
    std::set<std::string> listed;
    for (std::sregex_iterator it(section.begin(), section.end(), row), end; it != end; ++it) {
        const std::string name = (*it)[1], option = (*it)[2], value = (*it)[3], byDefault = (*it)[4];
        SCOPED_TRACE(name);
        EXPECT_TRUE(listed.insert(name).second) << "listed twice";
        const BridgeKey* key = FindKey(name, Road::File);
        ASSERT_TRUE(key) << "not a key of the file";
        EXPECT_EQ(option, key->On(Road::CommandLine) ? "`--" + name + "`" : "");
        if (key->kind == KeyKind::Number || key->kind == KeyKind::Choice) {
            EXPECT_EQ(value, key->kind == KeyKind::Number ? RangeText(*key) : ChoicesText(*key, ", "));
        }
        // A key that is unset by default may say what that means in its own words.
        const std::string fileDefault = DefaultText(*key, Road::File);
        const std::string lineDefault = DefaultText(*key, Road::CommandLine);
        if (!fileDefault.empty()) {
            EXPECT_EQ(byDefault, "`" + fileDefault + "`" +
                                     (lineDefault != fileDefault ? " (command line: " + lineDefault + ")" : ""));
        }
    }
    for (const BridgeKey& key : BridgeKeys())
        EXPECT_TRUE(!key.On(Road::File) || listed.count(key.name)) << key.name << " is not in the README's list";
}

// contrib/portvale.toml explains every key, set or shown in a comment.
TEST(BridgeKeysTest, TheExampleFileNamesEveryKeyAndNoOther) {
    std::istringstream lines(SourceFile("contrib/portvale.toml"));
    const std::regex assignment(R"(^(?:# ?)?([a-z][a-z0-9-]*) *=)");
    std::set<std::string> named;
    std::smatch match;
    for (std::string line; std::getline(lines, line);)
        if (std::regex_search(line, match, assignment)) named.insert(match[1]);
    std::set<std::string> keys;
    for (const BridgeKey& key : BridgeKeys())
        if (key.On(Road::File)) keys.insert(key.name);
    EXPECT_GT(named.size(), 20u);
    EXPECT_EQ(named, keys);
}

// What --help and a refusal on the command line are made of is there for every key
// the command line reads.
TEST(BridgeKeysTest, EveryOptionHasItsHelpAndWords) {
    for (const BridgeKey& key : BridgeKeys()) {
        SCOPED_TRACE(key.name);
        const bool valued = key.kind != KeyKind::Flag;
        if (key.On(Road::CommandLine)) {
            EXPECT_TRUE(key.help && *key.help);
            EXPECT_EQ(key.metavar != nullptr, valued);
            EXPECT_TRUE(key.kind != KeyKind::File || key.what);
            EXPECT_TRUE((key.kind != KeyKind::Address && key.kind != KeyKind::Listen) || key.example);
            EXPECT_TRUE(key.kind != KeyKind::Number || key.what || !ChoicesText(key, "|").empty());
        }
        EXPECT_EQ(key.field.index() == 0, key.road == Road::CommandLine || key.service);
    }
}

}  // namespace
}  // namespace portvale::headless
