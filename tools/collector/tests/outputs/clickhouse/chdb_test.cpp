// The collector's table and rows on a current ClickHouse: chDB's, in this
// process (scripts/test's chdb stage fetches it and sets CHDB_LIBRARY).
#include <cstdlib>

#include "tests/outputs/clickhouse/clickhouse_harness.h"
#include "tests/support/chdb_session.h"

namespace kr::collector::test {
namespace {

// The sample capture through the collector into its spool (no server
// answers), the spool file's rows (header stripped) into the collector's
// own CREATE TABLE, and the sample questions of the docs with their answers.
TEST(Chdb, TakesTheCollectorsTableAndSpooledRowsAndAnswersTheSampleQuestions) {
    const char* library = std::getenv("CHDB_LIBRARY");
    if (library == nullptr) {
        GTEST_SKIP() << "CHDB_LIBRARY is not set (scripts/test's chdb stage sets it)";
    }
    TempDir dir;
    CollectorProcess collector({"--listen", "127.0.0.1:0", "--json", "-", "--clickhouse", "http://127.0.0.1:1/",
                                "--spool", dir.path() + "/spool"});
    const pid_t agent = replay_sample(dir.path(), collector.wait_listening());
    EXPECT_TRUE(collector.wait_stdout_lines(10)) << collector.stderr_text();
    kill(agent, SIGTERM);
    waitpid(agent, nullptr, 0);
    collector.signal(SIGTERM);
    ASSERT_EQ(collector.wait_exit(), 0) << collector.stderr_text();
    std::string rows;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path() + "/spool")) {
        if (entry.path().extension() == ".batch") {
            std::ifstream file(entry.path(), std::ios::binary);
            rows += std::string(std::istreambuf_iterator<char>(file), {}).substr(40);
        }
    }

    setenv("TZ", "UTC", 1);  // the answers are in UTC
    ChdbSession chdb(library, dir.path() + "/chdb");
    ASSERT_TRUE(chdb.ok()) << chdb.error();
    const std::string version = chdb.query("SELECT version()");
    std::printf("chDB's ClickHouse %s\n", version.c_str());
    EXPECT_EQ(version.compare(0, 3, "26."), 0) << version;
    ASSERT_EQ(chdb.query(create_table_sql("dns_events")), "");
    ASSERT_EQ(chdb.query(insert_sql("dns_events") + "\n" + rows), "");
    ASSERT_EQ(chdb.query("SELECT count() FROM dns_events"), "10");
    const auto questions = sample_questions();
    ASSERT_EQ(questions.size(), 5u);
    for (const auto& [sql, answer] : questions) {
        EXPECT_EQ(chdb.query(sql), answer) << sql;
    }
}

}  // namespace
}  // namespace kr::collector::test
