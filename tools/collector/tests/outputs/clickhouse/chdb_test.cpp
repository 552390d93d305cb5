// The collector's table and rows on a current ClickHouse: chDB's, loaded into
// this process (scripts/test's chdb stage fetches it and sets CHDB_LIBRARY).
#include <dlfcn.h>

#include <cstdlib>

#include "tests/outputs/clickhouse/clickhouse_harness.h"

namespace kr::collector::test {
namespace {

// The sample capture through the collector into its spool (no server
// answers), the spool file's rows (header stripped) into the collector's
// own CREATE TABLE, and the sample questions of the docs with their answers.
TEST(Chdb, TakesTheCollectorsTableAndSpooledRowsAndAnswersTheSampleQuestions) {
    const char* path = std::getenv("CHDB_LIBRARY");
    if (path == nullptr) {
        GTEST_SKIP() << "CHDB_LIBRARY is not set (scripts/test's chdb stage sets it)";
    }
    TempDir dir;
    CollectorProcess collector({"--listen", "127.0.0.1:0", "--json", "-", "--clickhouse", "http://127.0.0.1:1/",
                                "--spool", dir.path()});
    const pid_t agent = replay_sample(dir.path(), collector.wait_listening());
    EXPECT_TRUE(collector.wait_stdout_lines(10)) << collector.stderr_text();
    kill(agent, SIGTERM);
    waitpid(agent, nullptr, 0);
    collector.signal(SIGTERM);
    ASSERT_EQ(collector.wait_exit(), 0) << collector.stderr_text();
    std::string rows;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        std::ifstream file(entry.path(), std::ios::binary);
        const std::string text(std::istreambuf_iterator<char>(file), {});
        rows += entry.path().extension() == ".batch" ? text.substr(40) : "";
    }

    setenv("TZ", "UTC", 1);  // the answers are in UTC
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);  // stays loaded: it leaves threads behind
    ASSERT_NE(library, nullptr) << dlerror();
    // chDB's C API: a connection and a result are opaque handles.
    auto symbol = [library](const char* name) { return dlsym(library, name); };
    std::string database = "--path=" + dir.path() + "/chdb";
    char* argv[] = {const_cast<char*>("chdb"), database.data()};
    void** connection = reinterpret_cast<void** (*)(int, char**)>(symbol("chdb_connect"))(2, argv);
    ASSERT_NE(connection, nullptr);
    auto query = [&](const std::string& sql) {  // TabSeparated without the last newline, or "ERROR: ..."
        void* result = reinterpret_cast<void* (*)(void*, const char*, std::size_t, const char*, std::size_t)>(
            symbol("chdb_query_n"))(*connection, sql.data(), sql.size(), "TabSeparated", 12);
        const char* error = reinterpret_cast<const char* (*)(void*)>(symbol("chdb_result_error"))(result);
        const char* data = reinterpret_cast<char* (*)(void*)>(symbol("chdb_result_buffer"))(result);
        const std::size_t size = reinterpret_cast<std::size_t (*)(void*)>(symbol("chdb_result_length"))(result);
        const std::string answer = error != nullptr  ? std::string("ERROR: ") + error
                                   : data == nullptr ? ""
                                                     : std::string(data, size);
        reinterpret_cast<void (*)(void*)>(symbol("chdb_destroy_query_result"))(result);
        return answer.empty() || answer.back() != '\n' ? answer : answer.substr(0, answer.size() - 1);
    };
    EXPECT_EQ(query("SELECT version() LIKE '26.%'"), "1") << query("SELECT version()");
    ASSERT_EQ(query(create_table_sql("dns_events")), "");
    ASSERT_EQ(query(insert_sql("dns_events") + "\n" + rows), "");
    const auto questions = sample_questions();
    ASSERT_EQ(questions.size(), 5u);
    for (const auto& [sql, answer] : questions) {
        EXPECT_EQ(query(sql), answer) << sql;
    }
}

}  // namespace
}  // namespace kr::collector::test
