#include "outputs/json_line.h"

#include <charconv>

#include <nlohmann/json.hpp>

#include "model/iso_time.h"

namespace kr::collector {

namespace {

// Text that needs no escaping is copied as it is; anything else (quotes,
// backslashes, control bytes, non-ASCII, invalid UTF-8) goes through the
// JSON library, which replaces invalid UTF-8 with U+FFFD.
void append_string(std::string& out, std::string_view text) {
    bool plain = true;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F || c == '"' || c == '\\') {
            plain = false;
            break;
        }
    }
    if (plain) {
        out += '"';
        out += text;
        out += '"';
        return;
    }
    out += nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void append_number(std::string& out, std::uint64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

// Appends ,"key": (or {"key": for the first key).
void append_key(std::string& out, const char* key, bool first = false) {
    out += first ? "{\"" : ",\"";
    out += key;
    out += "\":";
}

}  // namespace

void append_json_line(std::string& out, std::string_view peer, std::string_view version, const EventMessage& event,
                      const DnsSummary& dns) {
    append_key(out, "peer", true);
    append_string(out, peer);
    append_key(out, "version");
    append_string(out, version);
    append_key(out, "time");
    append_number(out, event.time);
    append_key(out, "iso_time");
    append_string(out, iso_time(event.time));
    append_key(out, "client");
    append_string(out, event.client);
    append_key(out, "server");
    append_string(out, event.server);
    append_key(out, "tcp");
    out += event.tcp() ? "true" : "false";
    append_key(out, "size");
    append_number(out, event.packet.size);
    if (dns.has_header) {
        append_key(out, "id");
        append_number(out, dns.id);
        append_key(out, "qr");
        out += dns.qr() ? "true" : "false";
        append_key(out, "opcode");
        append_number(out, dns.opcode());
        append_key(out, "rcode");
        append_number(out, dns.rcode());
        append_key(out, "flags");
        append_number(out, dns.flags);
    }
    if (dns.has_question) {
        append_key(out, "qname");
        append_string(out, dns.qname);
        append_key(out, "qtype");
        append_number(out, dns.qtype);
        append_key(out, "qclass");
        append_number(out, dns.qclass);
    }
    if (!dns.error.empty()) {
        append_key(out, "error");
        append_string(out, dns.error);
    }
    out += "}\n";
}

}  // namespace kr::collector
