#pragma once
// The option groups' parsers, each in a file of its own; parse_options()
// hands every option to the group its name belongs to.
#include <cstdint>
#include <string>

#include "options/options.h"

namespace kr::collector {

// A decimal number of at most `limit`.
bool parse_number(const std::string& text, std::uint64_t limit, std::uint64_t& value);

// The first line of the file `path` given to `option`, without its line end.
bool read_password_file(const std::string& option, const std::string& path, std::string& password,
                        std::string& error);
// The same, for an option that must name a password: an empty first line is refused.
bool read_required_password_file(const std::string& option, const std::string& path, std::string& password,
                                 std::string& error);

// One --clickhouse* or --spool* option; then, after the last option, the
// group as a whole.
bool parse_clickhouse_option(const std::string& name, const std::string& value, ClickHouseOptions& options,
                             std::string& error);
bool finish_clickhouse_options(ClickHouseOptions& clickhouse, std::string& error);

// One --dnstap* option.
bool parse_dnstap_option(const std::string& name, const std::string& value, DnstapOptions& options,
                         std::string& error);

// One --tls-* option; then the group as a whole.
bool parse_tls_option(const std::string& name, const std::string& value, TlsOptions& options, std::string& error);
bool check_tls_options(const TlsOptions& tls, std::string& error);

// One --web* option; then the group as a whole.
bool parse_web_option(const std::string& name, const std::string& value, WebOptions& options, std::string& error);
bool check_web_options(const WebOptions& web, std::string& error);

// One of --hello-timeout, --max-pending, --max-pending-per-address.
bool parse_listener_option(const std::string& name, const std::string& value, ListenerOptions& options,
                           std::string& error);

}  // namespace kr::collector
