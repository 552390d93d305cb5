// The TLS session on Windows: Schannel through the SSPI table.
#include <memory>
#include <string>

#include "transport/schannel_channel.h"
#include "transport/sspi_api.h"
#include "transport/tls_channel.h"

namespace kr::transport {

std::unique_ptr<TlsChannel> make_tls_channel(const kr::config::TlsSettings& settings, const std::string& ip,
                                             TlsTransport& transport) {
    return std::make_unique<SchannelChannel>(sspi_platform_api(), settings, ip, transport);
}

std::string tls_description(const kr::config::TlsSettings& settings) {
    return "CA " + (settings.ca.empty() ? std::string("system store") : settings.ca) + ", name " +
           (settings.name.empty() ? std::string("target address") : settings.name) + ", client certificate " +
           (settings.thumbprint.empty() ? std::string("none") : "LocalMachine\\My " + settings.thumbprint) +
           // Linux keys copied into a Windows configuration are said to do nothing here.
           (settings.cert.empty() && settings.key.empty() ? ""
                                                          : " (tls-cert and tls-key are for Linux: ignored)");
}

}  // namespace kr::transport
