#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "input/server_connection.h"
#include "model/message.h"

namespace kr::collector {

bool Server::serve(Connection& connection, int reads) {
    const bool open = advance(connection, reads);
    settle(connection, open);
    return open;
}

void Server::settle(Connection& connection, bool open) {
    agents_.add(connection.agent, connection.unaccounted, now_ms(), !open);
    connection.unaccounted = AgentCounts();
    // Logged once counted, so that whoever reads the line finds it in the counts.
    if (connection.quiet) {
        quiet_closed_ += open ? 0 : 1;
    } else if (!connection.closing_note.empty()) {
        std::fputs(connection.closing_note.c_str(), log_);
    }
}

bool Server::advance(Connection& connection, int reads) {
    if (connection.handshaking()) {
        std::string problem;
        if (!connection.tls->handshake(problem)) {
            fail(connection, problem, false);
            return false;
        }
        if (!connection.tls->established()) {
            connection.would_block = true;
            return true;
        }
        if (!connection.quiet) {
            std::fprintf(log_, "collector: %s TLS established: %s\n", connection.peer.c_str(),
                         connection.tls->description().c_str());
        }
        connection.unaccounted.tls_subject = connection.tls->client_subject();
    }
    return read_some(connection, reads);
}

long Server::receive(Connection& connection, std::string& problem) {
    if (connection.tls) {
        return connection.tls->read(read_buffer_.data(), read_buffer_.size(), problem);
    }
    for (;;) {
        const ssize_t got = ::read(connection.fd, read_buffer_.data(), read_buffer_.size());
        if (got >= 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            return got;
        }
        if (errno != EINTR) {
            problem = std::string("read failed: ") + std::strerror(errno);
            return -1;
        }
    }
}

bool Server::read_some(Connection& connection, int reads) {
    connection.would_block = false;
    for (int i = 0; i < reads; ++i) {
        std::string problem;
        const long got = receive(connection, problem);
        if (got < 0) {
            if (problem.empty()) {
                connection.would_block = true;
                return true;
            }
            fail(connection, problem, false);
            return false;
        }
        if (got == 0) {
            const std::string unfinished = connection.stream.unfinished();
            if (!unfinished.empty()) {
                fail(connection, unfinished, false);
            } else {
                connection.closing_note = "collector: " + connection.peer + " disconnected after " +
                                          std::to_string(connection.records) + " records\n";
            }
            return false;
        }
        connection.unaccounted.bytes += static_cast<std::uint64_t>(got);
        connection.stream.feed(read_buffer_.data(), static_cast<std::size_t>(got));
        if (!take_records(connection)) {
            return false;
        }
    }
    return true;
}

bool Server::take_records(Connection& connection) {
    std::string problem;
    for (;;) {
        Bytes record;
        const RecordStream::Status status = connection.stream.next(record);
        if (status == RecordStream::Status::need_more) {
            return true;
        }
        if (status == RecordStream::Status::error) {
            fail(connection, connection.stream.error());
            return false;
        }
        ++records_;
        ++connection.records;
        ++connection.unaccounted.records;
        if (!connection.hello_seen) {
            std::string_view version;
            if (!parse_hello(record, version, problem)) {
                fail(connection, "record 1: " + problem);
                return false;
            }
            connection.version = std::string(version);
            connection.hello_seen = true;
            continue;
        }
        EventMessage event;
        if (!parse_event(record, event, problem)) {
            fail(connection, "record " + std::to_string(connection.records) + ": " + problem);
            return false;
        }
        ++events_;
        AgentCounts& counts = connection.unaccounted;
        ++counts.events;
        if (!counts.has_events) {
            counts.first_event_time = event.time;
            counts.has_events = true;
        }
        counts.last_event_time = event.time;
        sink_.event(connection.peer, connection.version, event);
    }
}

void Server::fail(Connection& connection, const std::string& problem, bool format) {
    ++errors_;
    ++(format ? connection.unaccounted.format_errors : connection.unaccounted.broken);
    connection.closing_note = "collector: error from " + connection.peer + ": " + problem + "; connection closed\n";
}

}  // namespace kr::collector
