#include "collector_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace kr::collector::test {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Starts argv[0] (searched in PATH) with stdin from /dev/null and stdout and
// stderr on new pipes (stderr to /dev/null when err_fd is null).
pid_t spawn(const std::vector<std::string>& args, int& out_fd, int* err_fd) {
    int out_pipe[2];
    int err_pipe[2] = {-1, -1};
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || (err_fd != nullptr && pipe2(err_pipe, O_CLOEXEC) != 0)) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    if (err_fd != nullptr) {
        posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    std::vector<char*> argv;
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out_pipe[1]);
    out_fd = out_pipe[0];
    if (err_fd != nullptr) {
        ::close(err_pipe[1]);
        *err_fd = err_pipe[0];
    }
    return pid;
}

// Waits for the child up to the deadline, then kills it. Returns the exit status or -1.
int reap(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0 || Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

CollectorProcess::CollectorProcess(const std::vector<std::string>& args, const std::string& program) {
    std::vector<std::string> argv{program.empty() ? std::string(COLLECTOR_PATH) : program};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = spawn(argv, out_fd_, &err_fd_);
}

CollectorProcess::~CollectorProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    ::close(out_fd_);
    ::close(err_fd_);
}

bool CollectorProcess::pump(int timeout_ms) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (out_fd_ < 0 && err_fd_ < 0) {
        return false;
    }
    if (poll(fds, 2, timeout_ms) <= 0) {
        return true;
    }
    char buffer[4096];
    int* fd_of[2] = {&out_fd_, &err_fd_};
    std::string* text_of[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        const ssize_t got = ::read(*fd_of[i], buffer, sizeof buffer);
        if (got > 0) {
            text_of[i]->append(buffer, static_cast<std::size_t>(got));
        } else {
            ::close(*fd_of[i]);
            *fd_of[i] = -1;
        }
    }
    return true;
}

std::uint16_t CollectorProcess::wait_listening() {
    const std::string marker = "collector: listening on 127.0.0.1:";
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    for (;;) {
        const std::size_t at = err_.find(marker);
        if (at != std::string::npos && err_.find('\n', at) != std::string::npos) {
            return static_cast<std::uint16_t>(std::atoi(err_.c_str() + at + marker.size()));
        }
        if (remaining_ms(deadline) == 0 || !pump(remaining_ms(deadline))) {
            return 0;
        }
    }
}

bool CollectorProcess::wait_stderr(const std::string& text, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (err_.find(text) == std::string::npos) {
        if (remaining_ms(deadline) == 0 || !pump(remaining_ms(deadline))) {
            return err_.find(text) != std::string::npos;
        }
    }
    return true;
}

bool CollectorProcess::wait_stdout_lines(std::size_t count, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (stdout_lines().size() < count) {
        if (remaining_ms(deadline) == 0 || !pump(remaining_ms(deadline))) {
            return stdout_lines().size() >= count;
        }
    }
    return true;
}

std::vector<std::string> CollectorProcess::stdout_lines() const {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = out_.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(out_.substr(start, end - start));
    }
    return lines;
}

void CollectorProcess::signal(int number) {
    if (pid_ > 0) {
        kill(pid_, number);
    }
}

int CollectorProcess::wait_exit(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (remaining_ms(deadline) > 0 && pump(remaining_ms(deadline))) {
    }
    if (pid_ <= 0) {
        return -1;
    }
    const int status = reap(pid_, deadline);
    pid_ = -1;
    return status;
}

std::uint16_t metrics_port(CollectorProcess& collector) {
    const std::string marker = "collector: metrics on http://127.0.0.1:";
    if (!collector.wait_stderr(marker)) {
        return 0;
    }
    const std::string& err = collector.stderr_text();
    return static_cast<std::uint16_t>(std::atoi(err.c_str() + err.find(marker) + marker.size()));
}

std::string scrape_metrics(CollectorProcess& collector) {
    httplib::Client http("127.0.0.1", metrics_port(collector));
    http.set_connection_timeout(5);
    const auto result = http.Get("/metrics");
    return result && result->status == 200 ? result->body : "";
}

double sample_value(const std::string& scrape, const std::string& series) {
    const std::size_t at = scrape.find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::stod(scrape.substr(at + series.size() + 2));
}

HeldSockets::HeldSockets(std::uint16_t port, int count) : thread_([this, port, count] { run(port, count); }) {}

HeldSockets::~HeldSockets() {
    stop_ = true;
    thread_.join();
}

void HeldSockets::run(std::uint16_t port, int count) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<pollfd> fds(static_cast<std::size_t>(count), pollfd{-1, POLLIN, 0});
    auto next_byte = Clock::now();
    while (!stop_) {
        for (pollfd& held : fds) {
            if (held.fd < 0) {
                held.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                connect(held.fd, reinterpret_cast<sockaddr*>(&address), sizeof address);  // completes in the background
                ++opened_;
            }
        }
        poll(fds.data(), fds.size(), 20);
        const bool trickle = Clock::now() >= next_byte;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            char byte = 'G';
            if ((fds[i].revents != 0 && recv(fds[i].fd, &byte, 1, MSG_DONTWAIT) <= 0) ||
                (trickle && i % 2 == 1 && send(fds[i].fd, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 &&
                 errno != EAGAIN)) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
        if (trickle) {
            next_byte = Clock::now() + std::chrono::milliseconds(100);
        }
    }
    for (const pollfd& held : fds) {
        ::close(held.fd);
    }
}

std::string run_command(const std::vector<std::string>& args, int timeout_ms, int& status) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    int out_fd = -1;
    const pid_t pid = spawn(args, out_fd, nullptr);
    std::string output;
    char buffer[4096];
    for (;;) {
        pollfd fd{out_fd, POLLIN, 0};
        if (remaining_ms(deadline) == 0 || poll(&fd, 1, remaining_ms(deadline)) <= 0) {
            break;
        }
        const ssize_t got = ::read(out_fd, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        output.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(out_fd);
    status = pid > 0 ? reap(pid, deadline) : -1;
    return output;
}

bool make_certificates(const std::string& dir) {
    const std::string script =
        "set -e; cd '" + dir + "'\n"
        "new() { openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj \"$2\" \\\n"
        "  -keyout $1.key $3; }\n"
        "ca() { new $1 /CN=$1 \"-x509 -days 1 -out $1.pem\"; }\n"
        "cert() { new $1 \"$3\" \"-out $1.csr\"; printf '%s' \"$4\" >$1.ext\n"
        "  openssl x509 -req -in $1.csr -CA $2.pem -CAkey $2.key -CAcreateserial -days 1 -extfile $1.ext \\\n"
        "  -out $1.pem; }\n"
        "ca ca; ca other\n"
        "cert collector ca /CN=collector subjectAltName=IP:127.0.0.1\n"
        "cert agent ca /O=Example/CN=agent-1 extendedKeyUsage=clientAuth\n"
        "cert stranger other /CN=stranger extendedKeyUsage=clientAuth\n";
    int status = 0;
    run_command({"sh", "-c", script}, 60000, status);
    return status == 0;
}

AgentSocket::AgentSocket(std::uint16_t port, const char* source) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, source, &address.sin_addr);
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close();
    }
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close();
    }
}

AgentSocket::~AgentSocket() {
    close();
}

bool AgentSocket::start_tls(const std::string& ca, const std::string& cert, const std::string& key, int version,
                            const std::string& ciphers) {
    // OpenSSL writes without MSG_NOSIGNAL: a collector that refused us must
    // fail a send, not end the test program.
    std::signal(SIGPIPE, SIG_IGN);
    const timeval bound{kWaitMs / 1000, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    tls_context_ = SSL_CTX_new(TLS_client_method());
    if (tls_context_ == nullptr || SSL_CTX_load_verify_locations(tls_context_, ca.c_str(), nullptr) != 1 ||
        (!cert.empty() && (SSL_CTX_use_certificate_file(tls_context_, cert.c_str(), SSL_FILETYPE_PEM) != 1 ||
                           SSL_CTX_use_PrivateKey_file(tls_context_, key.c_str(), SSL_FILETYPE_PEM) != 1))) {
        return false;
    }
    SSL_CTX_set_verify(tls_context_, SSL_VERIFY_PEER, nullptr);
    if (version != 0) {
        SSL_CTX_set_security_level(tls_context_, 0);
        SSL_CTX_set_min_proto_version(tls_context_, version);
        SSL_CTX_set_max_proto_version(tls_context_, version);
    }
    if (!ciphers.empty() && SSL_CTX_set_cipher_list(tls_context_, ciphers.c_str()) != 1) {
        return false;
    }
    tls_ = SSL_new(tls_context_);
    return tls_ != nullptr && X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls_), "127.0.0.1") == 1 &&
           SSL_set_fd(tls_, fd_) == 1 && SSL_connect(tls_) == 1;
}

bool AgentSocket::send(const std::vector<std::uint8_t>& bytes) {
    std::size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        const ssize_t n = tls_ != nullptr ? SSL_write(tls_, bytes.data() + sent, static_cast<int>(bytes.size() - sent))
                                          : ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0 && tls_ != nullptr) {
            return false;
        }
        if (n < 0 && errno != EINTR) {
            return false;
        }
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return fd_ >= 0;
}

bool AgentSocket::wait_closed(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[256];
    while (fd_ >= 0) {
        pollfd fd{fd_, POLLIN, 0};
        if (remaining_ms(deadline) == 0 || poll(&fd, 1, remaining_ms(deadline)) <= 0) {
            return false;
        }
        if ((tls_ != nullptr ? SSL_read(tls_, buffer, sizeof buffer) : recv(fd_, buffer, sizeof buffer, 0)) <= 0) {
            return true;  // end of stream or reset: closed either way
        }
    }
    return false;
}

std::string AgentSocket::local_address() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

void AgentSocket::close() {
    SSL_free(tls_);
    SSL_CTX_free(tls_context_);
    tls_ = nullptr;
    tls_context_ = nullptr;
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace kr::collector::test
