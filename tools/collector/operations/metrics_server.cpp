#include "operations/metrics.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "options/options.h"

namespace kr::collector {

namespace {

// Scrapes are rare and quick: a few threads are plenty. A client that
// finds every slot taken is closed at once, so idle or slow connections
// cannot use up the collector's file descriptors.
constexpr std::size_t kHttpThreads = 4;
constexpr int kMaxConnections = 8;
// One request per connection, read and answered within this time whatever
// pace the client keeps; a scraper sends its request at once.
constexpr auto kConnectionTime = std::chrono::seconds(5);
// How often a waiting read or write looks whether the endpoint is closing.
constexpr int kPollSliceMs = 100;

// Set on the accepting thread while it closes a connection over the limit.
thread_local bool t_refuse = false;

// A connection's socket for the HTTP parser, with one deadline for the
// whole exchange and an end as soon as the endpoint closes.
class DeadlineStream : public httplib::Stream {
public:
    DeadlineStream(int fd, std::chrono::steady_clock::time_point deadline, const std::atomic<bool>& closing)
        : fd_(fd), deadline_(deadline), closing_(closing) {}

    bool is_readable() const override { return wait(POLLIN); }
    bool is_writable() const override { return wait(POLLOUT); }
    ssize_t read(char* data, size_t size) override {
        return wait(POLLIN) ? ::recv(fd_, data, size, 0) : -1;
    }
    ssize_t write(const char* data, size_t size) override {
        return wait(POLLOUT) ? ::send(fd_, data, size, MSG_NOSIGNAL) : -1;
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override { address(::getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { address(::getsockname, ip, port); }
    int socket() const override { return fd_; }

private:
    bool wait(short events) const {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline_ - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || closing_) {
                return false;
            }
            pollfd poller{fd_, events, 0};
            const int ready = ::poll(&poller, 1, static_cast<int>(std::min<long long>(left, kPollSliceMs)));
            if (ready > 0) {
                return true;
            }
            if (ready < 0 && errno != EINTR) {
                return false;
            }
        }
    }
    void address(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
        sockaddr_storage storage{};
        socklen_t length = sizeof storage;
        char text[INET6_ADDRSTRLEN] = "";
        port = 0;
        if (get(fd_, reinterpret_cast<sockaddr*>(&storage), &length) == 0) {
            const bool v6 = storage.ss_family == AF_INET6;
            const auto* in4 = reinterpret_cast<const sockaddr_in*>(&storage);
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
            inet_ntop(storage.ss_family, v6 ? static_cast<const void*>(&in6->sin6_addr) : &in4->sin_addr, text,
                      sizeof text);
            port = ntohs(v6 ? in6->sin6_port : in4->sin_port);
        }
        ip = text;
    }

    int fd_;
    std::chrono::steady_clock::time_point deadline_;
    const std::atomic<bool>& closing_;
};

// The library's server, serving each connection through DeadlineStream.
class BoundedServer : public httplib::Server {
public:
    std::atomic<bool> closing{false};

private:
    bool process_and_close_socket(int fd) override {
        bool served = false;
        if (!t_refuse) {
            DeadlineStream stream(fd, std::chrono::steady_clock::now() + kConnectionTime, closing);
            bool closed = false;
            served = process_request(stream, true, closed, nullptr);
        }
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
        return served;
    }
};

// The library's pool behind a count of the connections it holds; the
// accepting thread closes one over the limit itself.
class BoundedQueue : public httplib::TaskQueue {
public:
    BoundedQueue() : pool_(kHttpThreads) {}
    void enqueue(std::function<void()> serve) override {
        if (held_.fetch_add(1) >= kMaxConnections) {
            t_refuse = true;
            serve();
            t_refuse = false;
            --held_;
            return;
        }
        pool_.enqueue([this, serve = std::move(serve)] {
            serve();
            --held_;
        });
    }
    void shutdown() override { pool_.shutdown(); }

private:
    httplib::ThreadPool pool_;
    std::atomic<int> held_{0};
};

}  // namespace

struct MetricsServer::Impl {
    BoundedServer http;
    std::thread thread;
    std::atomic<bool> ended{false};
    std::string url;
};

MetricsServer::MetricsServer(std::function<std::string()> render) : impl_(std::make_unique<Impl>()) {
    impl_->http.new_task_queue = [] { return new BoundedQueue; };
    // The library's default lets a second process listen on the same port
    // (SO_REUSEPORT) and take every other scrape; only quick restarts are
    // wanted, so a port in use is refused.
    impl_->http.set_socket_options([](int fd) {
        int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    impl_->http.Get("/metrics", [render = std::move(render)](const httplib::Request&, httplib::Response& response) {
        response.set_content(render(), "text/plain; version=0.0.4; charset=utf-8");
    });
}

MetricsServer::~MetricsServer() {
    stop();
}

bool MetricsServer::start(const std::string& address, std::string& error) {
    std::string host;
    std::uint16_t port = 0;
    if (!split_host_port(address, host, port)) {
        error = "bad metrics address '" + address + "'";
        return false;
    }
    errno = 0;
    const int bound = port == 0 ? impl_->http.bind_to_any_port(host) : impl_->http.bind_to_port(host, port) ? port : -1;
    if (bound <= 0) {
        const int code = errno;
        error = "cannot serve metrics on " + address + (code != 0 ? std::string(": ") + std::strerror(code) : "");
        return false;
    }
    const bool v6 = host.find(':') != std::string::npos;
    impl_->url = "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(bound) + "/metrics";
    impl_->thread = std::thread([this] {
        impl_->http.listen_after_bind();
        impl_->ended = true;
    });
    // stop() does nothing to a server that is not running yet, so wait until it is.
    while (!impl_->http.is_running() && !impl_->ended) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string MetricsServer::url() const {
    return impl_->url;
}

void MetricsServer::stop() {
    if (impl_->thread.joinable()) {
        impl_->http.closing = true;  // open connections end within a poll slice
        impl_->http.stop();
        impl_->thread.join();
    }
}

}  // namespace kr::collector
