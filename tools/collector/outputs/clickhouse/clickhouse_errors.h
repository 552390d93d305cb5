#pragma once
// ClickHouse's refusals sorted by what ends them: a configuration error
// lasts until someone fixes the user, the grants or the table; a transient
// one ends by itself; a malformed batch never goes in. None of them drops
// rows: the sink holds them until an insert succeeds.
#include <string>

namespace kr::collector {

enum class InsertFailure {
    transient,      // no answer, overload, a server starting or a replica catching up
    configuration,  // authentication, read-only, unknown database/table/column, type mismatch
    malformed,      // the rows themselves do not parse
};

// From the HTTP status (0 when no answer came), ClickHouse's exception code
// and libcurl's code of the transfer (a failed certificate check is one).
InsertFailure classify_failure(long status, int code, int transfer);

// What the operator should look at for a configuration error, e.g.
// "authentication: check --clickhouse-user and the password"; "" otherwise.
std::string configuration_hint(long status, int code, int transfer);

}  // namespace kr::collector
