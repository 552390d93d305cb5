// The TLS session on Windows: Schannel through the SSPI table.
#include <memory>
#include <string>

#include "transport/schannel_channel.h"
#include "transport/sspi_api.h"
#include "transport/tls_channel.h"

namespace kr::transport {

std::unique_ptr<TlsContext> make_tls_context(const kr::config::TlsSettings& settings, std::string&) {
    return std::make_unique<SchannelContext>(sspi_platform_api(), settings);
}

std::unique_ptr<TlsChannel> make_tls_channel(const TlsContext& context, const std::string& address,
                                             TlsTransport& transport) {
    return std::make_unique<SchannelChannel>(static_cast<const SchannelContext&>(context), address, transport);
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
