#include "outputs/json_line.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/wire.h"

namespace kr::collector {
namespace {

using test::ByteVector;
using nlohmann::json;

// Formats one event message through the same steps as the server.
std::string line_for(const ByteVector& message, std::string_view peer = "127.0.0.1:40000",
                     std::string_view version = "3.6.8") {
    EventMessage event;
    std::string error;
    EXPECT_TRUE(parse_event(Bytes(message.data(), message.size()), event, error)) << error;
    std::string out;
    append_json_line(out, peer, version, event, parse_dns(event.packet));
    return out;
}

std::vector<std::string> keys_of(const std::string& line) {
    std::vector<std::string> keys;
    const nlohmann::ordered_json object = nlohmann::ordered_json::parse(line);
    for (const auto& item : object.items()) {
        keys.push_back(item.key());
    }
    return keys;
}

TEST(JsonLine, GivesTheFieldsOfTheDocumentedExample) {
    // 12-byte packet: id 0x1234, RD set, no question.
    const ByteVector packet = test::dns_header(0x1234, 0x0100, 0);
    const ByteVector message = test::event_message(1796624400, "192.0.2.10", "192.0.2.1", 0, packet);
    ASSERT_EQ(message.size(), 39u);
    const std::string line = line_for(message);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    const json j = json::parse(line);
    EXPECT_EQ(j["peer"], "127.0.0.1:40000");
    EXPECT_EQ(j["version"], "3.6.8");
    EXPECT_EQ(j["time"], 1796624400u);
    EXPECT_EQ(j["iso_time"], "2026-12-07T06:20:00Z");
    EXPECT_EQ(j["client"], "192.0.2.10");
    EXPECT_EQ(j["server"], "192.0.2.1");
    EXPECT_EQ(j["tcp"], false);
    EXPECT_EQ(j["size"], 12);
    EXPECT_EQ(j["id"], 0x1234);
    EXPECT_EQ(j["qr"], false);
    EXPECT_EQ(j["opcode"], 0);
    EXPECT_EQ(j["rcode"], 0);
    EXPECT_EQ(j["flags"], 0x0100);
    EXPECT_EQ(keys_of(line), (std::vector<std::string>{"peer", "version", "time", "iso_time", "client", "server",
                                                       "tcp", "size", "id", "qr", "opcode", "rcode", "flags"}));
}

TEST(JsonLine, CarriesTheQuestionOfAFullPacket) {
    const ByteVector packet = test::dns_packet(77, 0x8583, "www.example.org", 28, 1);
    const std::string line = line_for(test::event_message(5, "10.1.2.3", "10.0.0.53", 1, packet));
    const json j = json::parse(line);
    EXPECT_EQ(j["tcp"], true);
    EXPECT_EQ(j["size"], packet.size());
    EXPECT_EQ(j["qr"], true);
    EXPECT_EQ(j["rcode"], 3);
    EXPECT_EQ(j["qname"], "www.example.org");
    EXPECT_EQ(j["qtype"], 28);
    EXPECT_EQ(j["qclass"], 1);
    EXPECT_FALSE(j.contains("error"));
    EXPECT_EQ(keys_of(line).size(), 16u);
}

TEST(JsonLine, AddsTheErrorAndKeepsWhatCouldBeRead) {
    json j = json::parse(line_for(test::event_message(5, "10.1.2.3", "10.0.0.53", 0, {1, 2, 3, 4, 5})));
    EXPECT_EQ(j["size"], 5);
    EXPECT_EQ(j["error"], "packet of 5 bytes is shorter than the DNS header");
    EXPECT_FALSE(j.contains("id"));
    EXPECT_FALSE(j.contains("qname"));
    EXPECT_EQ(j["client"], "10.1.2.3");

    ByteVector cut = test::dns_packet(9, 0, "example.com");
    cut.resize(cut.size() - 1);
    j = json::parse(line_for(test::event_message(5, "10.1.2.3", "10.0.0.53", 0, cut)));
    EXPECT_EQ(j["id"], 9);
    EXPECT_EQ(j["error"], "question cut off before its type and class");
    EXPECT_FALSE(j.contains("qname"));
}

TEST(JsonLine, StaysOneValidLineWhateverTheTextsHold) {
    const std::string odd_client = std::string("a\"b\\c\nd\x01") + "\xff\xfe";
    const std::string line =
        line_for(test::event_message(1, odd_client, "1.2.3.4", 0, test::dns_packet(1, 0, "x")), "peer",
                 "3.6.8\n\"evil\"");
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    const json j = json::parse(line);
    EXPECT_EQ(j["client"], "a\"b\\c\nd\x01\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(j["version"], "3.6.8\n\"evil\"");

    // DEL and valid UTF-8 survive unchanged.
    const std::string utf8_server = "caf\xC3\xA9\x7F";
    const json k = json::parse(line_for(test::event_message(1, "1.2.3.4", utf8_server, 0, {})));
    EXPECT_EQ(k["server"], utf8_server);
}

}  // namespace
}  // namespace kr::collector
