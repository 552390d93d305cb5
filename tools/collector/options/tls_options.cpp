#include "options/option_groups.h"

namespace kr::collector {

bool parse_tls_option(const std::string& name, const std::string& value, TlsOptions& options, std::string& error) {
    if (name == "--tls-handshake-timeout") {
        std::uint64_t number = 0;
        if (!parse_number(value, 3600, number) || number == 0) {
            error = "bad --tls-handshake-timeout value '" + value + "' (expected 1 to 3600 seconds)";
            return false;
        }
        options.handshake_timeout = static_cast<std::uint32_t>(number);
        return true;
    }
    std::string& path = name == "--tls-cert" ? options.cert : name == "--tls-key" ? options.key : options.client_ca;
    if (value.empty()) {
        error = name + " needs a path";
        return false;
    }
    path = value;
    return true;
}

// TLS options make sense only together: a certificate needs its key, and
// checking clients needs a TLS listener.
bool check_tls_options(const TlsOptions& tls, std::string& error) {
    if (tls.cert.empty() != tls.key.empty()) {
        error = "--tls-cert and --tls-key go together";
        return false;
    }
    if (tls.cert.empty() && (!tls.client_ca.empty() || tls.handshake_timeout != TlsOptions{}.handshake_timeout)) {
        error = "--tls-client-ca and --tls-handshake-timeout need --tls-cert and --tls-key";
        return false;
    }
    return true;
}

}  // namespace kr::collector
