#pragma once
// Runs programs for the process-level tests: the real collector with its
// standard output and error captured, and loopback agent connections.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace kr::collector::test {

constexpr int kWaitMs = 10000;

// One running collector (or `program`, searched in PATH, e.g. a receiver or
// the agent). Its output is read only while a wait_* call runs; the
// destructor kills the process if it is still running.
class CollectorProcess {
public:
    explicit CollectorProcess(const std::vector<std::string>& args, const std::string& program = "");
    ~CollectorProcess();
    CollectorProcess(const CollectorProcess&) = delete;
    CollectorProcess& operator=(const CollectorProcess&) = delete;

    // Waits for the "listening on" line and returns the port (0 if it never came).
    std::uint16_t wait_listening();
    bool wait_stderr(const std::string& text, int timeout_ms = kWaitMs);
    bool wait_stdout_lines(std::size_t count, int timeout_ms = kWaitMs);
    std::vector<std::string> stdout_lines() const;
    const std::string& stderr_text() const { return err_; }

    void signal(int number);
    pid_t pid() const { return pid_; }
    // The exit status, or -1 if the process did not end in time (it is then killed).
    int wait_exit(int timeout_ms = kWaitMs);

private:
    // Reads whatever the pipes offer for up to `timeout_ms`; false once both are closed.
    bool pump(int timeout_ms);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_;
    std::string err_;
};

// The port of the endpoint the collector announced on stderr; 0 if none.
std::uint16_t metrics_port(CollectorProcess& collector);
// GETs /metrics from the endpoint the collector announced on stderr
// ("collector: metrics on URL"); "" when it does not answer.
std::string scrape_metrics(CollectorProcess& collector);
// The value of the sample `series` (name and labels) in a scrape, or -1.
double sample_value(const std::string& scrape, const std::string& series);

// Holds `count` loopback connections to `port` from a thread of its own,
// every other one sending a byte each 100 ms and the rest nothing, each
// reopened as soon as the server closes it, until destroyed.
class HeldSockets {
public:
    HeldSockets(std::uint16_t port, int count);
    ~HeldSockets();
    HeldSockets(const HeldSockets&) = delete;
    HeldSockets& operator=(const HeldSockets&) = delete;

    int opened() const { return opened_; }

private:
    void run(std::uint16_t port, int count);

    std::atomic<bool> stop_{false};
    std::atomic<int> opened_{0};
    std::thread thread_;
};

// Runs a command to completion (killed after the timeout) and returns its
// standard output; `status` gets the exit status or -1.
std::string run_command(const std::vector<std::string>& args, int timeout_ms, int& status);

// Makes, with the openssl command, in `dir`: ca.pem (and ca.key), collector.pem
// and .key for IP 127.0.0.1, agent.pem and .key (subject O=Example, CN=agent-1)
// signed by that CA, and stranger.pem and .key signed by another CA. False when
// a command failed.
bool make_certificates(const std::string& dir);

// A loopback TCP client playing an agent, from `source` (any 127.x.y.z).
class AgentSocket {
public:
    explicit AgentSocket(std::uint16_t port, const char* source = "127.0.0.1");
    ~AgentSocket();
    AgentSocket(const AgentSocket&) = delete;
    AgentSocket& operator=(const AgentSocket&) = delete;

    bool connected() const { return fd_ >= 0; }
    // Makes the connection a TLS client's, as an agent with tls on: the
    // collector's certificate must come from `ca` and name 127.0.0.1; `cert`
    // and `key` offer a client certificate. Sends and waits go through TLS
    // after it, with kWaitMs as the bound of every socket call. `version`
    // (e.g. TLS1_VERSION) offers that version alone, and `ciphers` those
    // TLS 1.2 suites alone, as an old or weak client would.
    bool start_tls(const std::string& ca, const std::string& cert = "", const std::string& key = "", int version = 0,
                   const std::string& ciphers = "");
    SSL* tls() const { return tls_; }
    bool send(const std::vector<std::uint8_t>& bytes);
    // True when the collector closed the connection within the timeout.
    bool wait_closed(int timeout_ms = kWaitMs);
    // The "ip:port" the collector sees.
    std::string local_address() const;
    void close();

private:
    int fd_ = -1;
    SSL_CTX* tls_context_ = nullptr;
    SSL* tls_ = nullptr;
};

}  // namespace kr::collector::test
