#include "outputs/clickhouse/clickhouse_errors.h"

#include <curl/curl.h>

namespace kr::collector {

namespace {

// ClickHouse's exception codes (stable across versions).
struct Known {
    int code;
    const char* hint;
};

constexpr Known kConfiguration[] = {
    {16, "a column the collector writes is missing: the table is of another shape"},
    {20, "the table's columns do not match the collector's"},
    {47, "a column the collector writes is missing: the table is of another shape"},
    {53, "a column has another type than the collector writes: the table is of another shape"},
    {60, "the table is missing and the user may not create it"},
    {62, "the server does not accept the collector's SQL (check --clickhouse-table)"},
    {81, "the database in the URL does not exist"},
    {115, "the server does not know a setting the collector sends"},
    {164, "the user is read-only (readonly=1 allows neither inserts nor settings)"},
    {192, "authentication: unknown user (check --clickhouse-user)"},
    {193, "authentication: wrong password (check the password file or CLICKHOUSE_PASSWORD)"},
    {194, "authentication: the user needs a password"},
    {195, "authentication: the user may not connect from this address"},
    {291, "the user may not use this database"},
    {497, "the user lacks a grant (INSERT, or CREATE for the first run)"},
    {516, "authentication failed (check --clickhouse-user and the password)"},
};

// The batch's bytes do not parse as rows: sending it again cannot help.
constexpr int kMalformed[] = {6, 25, 26, 27, 32, 33, 38, 41, 72, 117, 131};

}  // namespace

InsertFailure classify_failure(long status, int code, int transfer) {
    for (int malformed : kMalformed) {
        if (code == malformed) {
            return InsertFailure::malformed;
        }
    }
    if (!configuration_hint(status, code, transfer).empty()) {
        return InsertFailure::configuration;
    }
    return InsertFailure::transient;
}

std::string configuration_hint(long status, int code, int transfer) {
    // The server, or the CA given for it, fails the check: no retry mends that.
    switch (transfer) {
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return "the server's certificate fails the check (give --clickhouse-ca the CA that signed it, and "
                   "the name or address it was made for in the URL)";
        default:
            break;
    }
    for (const Known& known : kConfiguration) {
        if (code == known.code) {
            return known.hint;
        }
    }
    // A proxy in front of ClickHouse answers these without a code.
    if (code == 0 && (status == 401 || status == 403)) {
        return "authentication (HTTP " + std::to_string(status) + ")";
    }
    return "";
}

}  // namespace kr::collector
