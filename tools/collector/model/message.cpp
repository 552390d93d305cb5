#include "model/message.h"

#include <cstdio>

namespace kr::collector {

namespace {

std::string format_byte_problem(std::uint8_t found, const char* expected) {
    char text[96];
    std::snprintf(text, sizeof text, "bad format byte 0x%02X (expected %s)", found, expected);
    return text;
}

std::string overrun(const char* field, std::size_t length, std::size_t size) {
    return std::string(field) + " length " + std::to_string(length) + " overruns the " + std::to_string(size) +
           "-byte record";
}

}  // namespace

bool parse_hello(Bytes record, std::string_view& version, std::string& error) {
    if (record.size == 0) {
        error = "empty record";
        return false;
    }
    if (record.data[0] != kHelloFormat) {
        error = format_byte_problem(record.data[0], "1, a hello, first on a connection");
        return false;
    }
    if (record.size == 1) {
        error = "hello without a version text";
        return false;
    }
    version = record.sub(1, record.size - 1).text();
    return true;
}

bool parse_event(Bytes record, EventMessage& event, std::string& error) {
    const std::size_t size = record.size;
    const std::uint8_t* p = record.data;
    if (size == 0) {
        error = "empty record";
        return false;
    }
    if (p[0] != kEventFormat) {
        error = format_byte_problem(p[0], "2, an event message");
        return false;
    }
    if (size < 6) {
        error = "event message of " + std::to_string(size) + " bytes ends before the device address length";
        return false;
    }
    event.time = read_be32(p + 1);
    const std::size_t device_length = p[5];
    if (6 + device_length > size) {
        error = overrun("device address", device_length, size);
        return false;
    }
    event.client = record.sub(6, device_length).text();
    std::size_t offset = 6 + device_length;
    if (offset >= size) {
        error = "event message ends before the server address length";
        return false;
    }
    const std::size_t server_length = p[offset];
    offset += 1;
    if (offset + server_length > size) {
        error = overrun("server address", server_length, size);
        return false;
    }
    event.server = record.sub(offset, server_length).text();
    offset += server_length;
    if (offset >= size) {
        error = "event message ends before the transport flag";
        return false;
    }
    event.transport = p[offset];
    offset += 1;
    event.packet = record.sub(offset, size - offset);
    return true;
}

}  // namespace kr::collector
