#include "options/options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <vector>

namespace kr::collector {
namespace {

bool parse(std::vector<const char*> args, Options& options, std::string& error) {
    args.insert(args.begin(), "collector");
    options = Options();
    return parse_options(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(Options, WriteJsonToStandardOutputUnlessOnlyAPcapIsAsked) {
    Options options;
    std::string error;
    ASSERT_TRUE(parse({}, options, error));
    EXPECT_EQ(options.listen, "127.0.0.1:8100");
    EXPECT_EQ(options.json_path, "-");
    EXPECT_EQ(options.pcap_path, "");
    EXPECT_EQ(options.max_record, 1048576u);

    ASSERT_TRUE(parse({"--pcap", "out.pcap"}, options, error));
    EXPECT_EQ(options.json_path, "");
    EXPECT_EQ(options.pcap_path, "out.pcap");

    ASSERT_TRUE(parse({"--pcap=out.pcap", "--json", "-", "--listen", "[::1]:0", "--max-record=64"}, options, error));
    EXPECT_EQ(options.json_path, "-");
    EXPECT_EQ(options.pcap_path, "out.pcap");
    EXPECT_EQ(options.listen, "[::1]:0");
    EXPECT_EQ(options.max_record, 64u);

    EXPECT_EQ(options.stats_interval, 0u);
    EXPECT_EQ(options.metrics, "");
    EXPECT_EQ(options.max_agents, 1000u);
    ASSERT_TRUE(parse({"--stats-interval", "86400", "--metrics=[::1]:9100", "--max-agents", "1"}, options, error));
    EXPECT_EQ(options.stats_interval, 86400u);
    EXPECT_EQ(options.metrics, "[::1]:9100");
    EXPECT_EQ(options.max_agents, 1u);

    ASSERT_TRUE(parse({"--help"}, options, error));
    EXPECT_TRUE(options.help);

    // ClickHouse alone writes no JSON.
    ASSERT_TRUE(parse({"--clickhouse", "http://127.0.0.1:8123/?database=dns", "--clickhouse-table", "dns.events",
                       "--clickhouse-batch-rows=10", "--clickhouse-batch-ms", "5", "--spool", "/tmp/s",
                       "--spool-max", "4096"},
                      options, error))
        << error;
    EXPECT_EQ(options.json_path, "");
    EXPECT_EQ(options.clickhouse.table, "dns.events");
    EXPECT_EQ(options.clickhouse.batch_rows, 10u);
    EXPECT_EQ(options.clickhouse.batch_ms, 5u);
    EXPECT_EQ(options.clickhouse.spool_max, 4096u);

    // So does dnstap.
    ASSERT_TRUE(parse({"--dnstap-socket", "unix:/run/t", "--dnstap-queue", "65536", "--dnstap-identity=n1",
                       "--dnstap-identity", "2001:DB8::0007=n=7", "--dnstap-identity", "dns:2"},
                      options, error));
    EXPECT_EQ(options.json_path, "");
    EXPECT_EQ(options.dnstap.queue_bytes, 65536u);
    EXPECT_EQ(options.dnstap.identity, "dns:2");  // no address before '=': the identity of every agent
    EXPECT_EQ(options.dnstap.agent_identities.at("2001:db8::7"), "n=7");
}

TEST(Options, RejectBadValuesWithTheReason) {
    const struct {
        std::vector<const char*> args;
        const char* error;
    } cases[] = {
        {{"--port", "1"}, "unknown option '--port'"},
        {{"extra"}, "unknown option 'extra'"},
        {{"--json"}, "option --json needs a value"},
        {{"--json="}, "--json needs a path or -"},
        {{"--max-record", "0"}, "bad --max-record value '0' (expected 1 to 4294967295 bytes)"},
        {{"--max-record", "4294967296"}, "bad --max-record value '4294967296' (expected 1 to 4294967295 bytes)"},
        {{"--max-record", "12k"}, "bad --max-record value '12k' (expected 1 to 4294967295 bytes)"},
        {{"--listen", "127.0.0.1"}, "bad --listen value '127.0.0.1' (expected ADDR:PORT, e.g. 127.0.0.1:8100)"},
        {{"--clickhouse", "127.0.0.1:8123"},
         "bad --clickhouse value '127.0.0.1:8123' (expected the HTTP interface's URL, e.g. "
         "http://127.0.0.1:8123/?database=dns)"},
        {{"--clickhouse=http://h/", "--clickhouse-table", "a.b.c"},
         "bad --clickhouse-table value 'a.b.c' (expected NAME or DATABASE.NAME of letters, digits and _)"},
        {{"--clickhouse=http://h/", "--clickhouse-table", "x;drop"},
         "bad --clickhouse-table value 'x;drop' (expected NAME or DATABASE.NAME of letters, digits and _)"},
        {{"--clickhouse=http://h/", "--clickhouse-batch-rows", "0"},
         "bad --clickhouse-batch-rows value '0' (expected 1 to 10000000)"},
        {{"--clickhouse=http://h/", "--clickhouse-batch-ms", "1s"},
         "bad --clickhouse-batch-ms value '1s' (expected 1 to 3600000)"},
        {{"--clickhouse=http://h/", "--spool-max", "0"}, "bad --spool-max value '0' (expected a number of bytes above 0)"},
        {{"--spool", "/tmp/s"}, "--clickhouse-table, --clickhouse-user, --clickhouse-password-file, --clickhouse-ca "
                                "and --spool need --clickhouse URL"},
        {{"--clickhouse", "ftp://u:pw@h/"}, "bad --clickhouse value 'ftp://u:***@h/' (expected the HTTP interface's "
                                            "URL, e.g. http://127.0.0.1:8123/?database=dns)"},
        // A password with '/' that is not encoded: the host part ends early.
        {{"--clickhouse", "http://u:pa/ss@h:8123/"},
         "bad --clickhouse URL (Port number was not a decimal number between 0 and 65535): a user or password with "
         "'/', '?', '#' or '@' must be percent-encoded (%2F, %3F, %23, %40)"},
        {{"--clickhouse", "http://u:1234/ss@h/"},
         "bad --clickhouse URL (an '@' after the host): a user or password with '/', '?', '#' or '@' must be "
         "percent-encoded (%2F, %3F, %23, %40)"},
        {{"--clickhouse-password-file", "/nonexistent"},
         "cannot read --clickhouse-password-file /nonexistent: No such file or directory"},
        {{"--clickhouse-nothing", "1"}, "unknown option '--clickhouse-nothing'"},
        {{"--stats-interval", "86401"}, "bad --stats-interval value '86401' (expected 0 to 86400 seconds)"},
        {{"--metrics", "9100"}, "bad --metrics value '9100' (expected ADDR:PORT, e.g. 127.0.0.1:9100)"},
        {{"--max-agents", "0"}, "bad --max-agents value '0' (expected 1 to 100000)"},
        {{"--tls-cert", "c.pem"}, "--tls-cert and --tls-key go together"},
        {{"--tls-client-ca", "ca.pem"}, "--tls-client-ca and --tls-handshake-timeout need --tls-cert and --tls-key"},
        {{"--tls-cert=c.pem", "--tls-key=k.pem", "--tls-handshake-timeout=0"},
         "bad --tls-handshake-timeout value '0' (expected 1 to 3600 seconds)"},
        {{"--dnstap-socket=unix:/s", "--dnstap-queue", "65535"},
         "bad --dnstap-queue value '65535' (expected a number of bytes, at least 65536)"},
        {{"--dnstap", "f", "--dnstap-queue", "65536"},
         "--dnstap-identity and --dnstap-version need --dnstap or --dnstap-socket, --dnstap-queue needs "
         "--dnstap-socket"},
        {{"--dnstap-identity", "x"},
         "--dnstap-identity and --dnstap-version need --dnstap or --dnstap-socket, --dnstap-queue needs "
         "--dnstap-socket"},
        {{"--dnstap-version", "x"},
         "--dnstap-identity and --dnstap-version need --dnstap or --dnstap-socket, --dnstap-queue needs "
         "--dnstap-socket"},
    };
    for (const auto& c : cases) {
        Options options;
        std::string error;
        EXPECT_FALSE(parse(c.args, options, error)) << c.error;
        EXPECT_EQ(error, c.error);
    }
}

// The URL's user:password leaves the URL; a password file wins over it,
// the environment only fills in.
TEST(Options, TakeCredentialsOutOfTheUrl) {
    Options options;
    std::string error;
    setenv("CLICKHOUSE_PASSWORD", "from-env", 1);
    ASSERT_TRUE(parse({"--clickhouse", "https://u%40x:p%3Ass@h:8443/?database=dns"}, options, error)) << error;
    EXPECT_EQ(options.clickhouse.url, "https://h:8443/?database=dns");
    EXPECT_EQ(options.clickhouse.user + " " + options.clickhouse.password, "u@x p:ss");
    ASSERT_TRUE(parse({"--clickhouse", "http://h/?q=a@b"}, options, error)) << error;
    EXPECT_EQ(options.clickhouse.url + " " + options.clickhouse.user + " " + options.clickhouse.password,
              "http://h/?q=a@b default from-env");
    const std::string file = testing::TempDir() + "/password";
    std::ofstream(file) << "from-file\r\nsecond line\n";
    ASSERT_TRUE(parse({"--clickhouse", "http://u:p@h/", "--clickhouse-password-file", file.c_str()}, options, error));
    EXPECT_EQ(options.clickhouse.url + " " + options.clickhouse.user + " " + options.clickhouse.password,
              "http://h/ u from-file");
    unsetenv("CLICKHOUSE_PASSWORD");
    EXPECT_EQ(redacted_url("http://u:p%2Fx@h/?database=d&password=p%26q&x=1"),
              "http://u:***@h/?database=d&password=***&x=1");
}

TEST(Options, SplitListenAddresses) {
    std::string host;
    std::uint16_t port = 1;
    ASSERT_TRUE(split_host_port("0.0.0.0:0", host, port));
    EXPECT_EQ(host, "0.0.0.0");
    EXPECT_EQ(port, 0);
    ASSERT_TRUE(split_host_port("[::1]:65535", host, port));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 65535);
    for (const char* bad : {":80", "::1:80", "1.2.3.4:65536", "1.2.3.4:", "1.2.3.4:-1", "[]:80", "[::1:80"}) {
        EXPECT_FALSE(split_host_port(bad, host, port)) << bad;
    }
}

}  // namespace
}  // namespace kr::collector
