#pragma once
// A real clickhouse-server for the tests: loopback ports, a temporary
// directory, a small configuration written here (no system logs, small
// caches). Restartable on the same ports and data.
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace kr::collector::test {

class ClickHouseServer {
public:
    ClickHouseServer();
    ~ClickHouseServer();
    ClickHouseServer(const ClickHouseServer&) = delete;
    ClickHouseServer& operator=(const ClickHouseServer&) = delete;

    // Starts the server and waits until it answers; false with the reason
    // and the server's log when it does not within 60 s.
    bool start(std::string& error);
    // SIGTERM, and waits for the process to end (SIGKILL after 60 s).
    void stop();
    // SIGKILL, and waits.
    void kill();
    bool running() const { return pid_ > 0; }

    std::string url() const;  // http://127.0.0.1:PORT/
    std::uint16_t http_port() const { return http_port_; }
    std::uint16_t tcp_port() const { return tcp_port_; }
    // A free port for an https_port line of add_config().
    std::uint16_t spare_port() const { return spare_port_; }
    // Extra text inside the configuration's root element (before start()).
    void add_config(const std::string& xml) { extra_config_ += xml; }
    // Extra users and profiles beside the password-less `default`.
    void add_users(const std::string& users, const std::string& profiles) {
        extra_users_ += users;
        extra_profiles_ += profiles;
    }

    // Runs `sql`; the reply's text with the trailing newline removed, or
    // "ERROR: ..." when it failed.
    std::string query(const std::string& sql) const;
    std::string log_tail() const;

private:
    std::string dir_;
    std::uint16_t http_port_ = 0;
    std::uint16_t tcp_port_ = 0;
    std::uint16_t spare_port_ = 0;
    std::uint16_t interserver_port_ = 0;  // replicas fetch parts from each other here
    std::string extra_config_;
    std::string extra_users_;
    std::string extra_profiles_;
    pid_t pid_ = -1;
    bool killed_ = false;
};

// A standalone ZooKeeper for replicated tables, started by the constructor:
// loopback, a temporary directory, a short tick so that the sessions of
// killed servers end within seconds. Retry the first request: it serves a
// few seconds later.
class ZooKeeperServer {
public:
    ZooKeeperServer();
    ~ZooKeeperServer();
    ZooKeeperServer(const ZooKeeperServer&) = delete;
    ZooKeeperServer& operator=(const ZooKeeperServer&) = delete;
    bool started() const { return pid_ > 0; }
    std::uint16_t port() const { return port_; }

private:
    std::string dir_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace kr::collector::test
