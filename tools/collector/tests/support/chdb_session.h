#pragma once
// chDB's ClickHouse in this process, through its C API (libchdb.so loaded
// at run time, so that nothing else of the tests depends on it): a current
// server's parser and engines for the collector's own SQL and rows.
#include <string>

namespace kr::collector::test {

class ChdbSession {
public:
    // Loads `library` and opens a database in `dir`. ok() tells whether it
    // worked, error() why not.
    ChdbSession(const std::string& library, const std::string& dir);
    ~ChdbSession();
    ChdbSession(const ChdbSession&) = delete;
    ChdbSession& operator=(const ChdbSession&) = delete;

    bool ok() const { return connection_ != nullptr; }
    const std::string& error() const { return error_; }

    // Runs `sql` (which may carry binary data after FORMAT); the answer in
    // TabSeparated without its last newline, or "ERROR: ..." when it failed.
    std::string query(const std::string& sql);

private:
    void* library_ = nullptr;
    void* connection_ = nullptr;  // a chdb_connection*
    std::string error_;
};

}  // namespace kr::collector::test
