// The system's SSPI (secur32) and certificate (crypt32) calls behind the
// TLS session's table.
#include "transport/sspi_api.h"
// After the types: the policy flag comes from the HTTP client's header.
#include <winhttp.h>
#include <winsock2.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "error/error.h"
#include "transport/schannel_channel.h"

namespace kr::transport {
namespace {

std::string status_text(const char* call, DWORD code) {
    return kr::error::failure_text(call, static_cast<std::int32_t>(code));
}

SECURITY_STATUS win_acquire(ULONG use, SCHANNEL_CRED* data, CredHandle* credential) {
    return ::AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), use, nullptr, data, nullptr, nullptr,
                                       credential, nullptr);
}

SECURITY_STATUS win_initialize(CredHandle* credential, CtxtHandle* context, const char* target, ULONG request,
                               ULONG representation, SecBufferDesc* input, CtxtHandle* new_context,
                               SecBufferDesc* output, ULONG* attributes) {
    return ::InitializeSecurityContextA(credential, context, const_cast<char*>(target), request, 0, representation,
                                        input, 0, new_context, output, attributes, nullptr);
}

SECURITY_STATUS win_query(CtxtHandle* context, ULONG attribute, void* buffer) {
    return ::QueryContextAttributesA(context, attribute, buffer);
}

SECURITY_STATUS win_encrypt(CtxtHandle* context, ULONG quality, SecBufferDesc* message, ULONG sequence) {
    return ::EncryptMessage(context, quality, message, sequence);
}

SECURITY_STATUS win_apply_control(CtxtHandle* context, SecBufferDesc* input) {
    return ::ApplyControlToken(context, input);
}

SECURITY_STATUS win_free_buffer(void* buffer) { return ::FreeContextBuffer(buffer); }
SECURITY_STATUS win_delete_context(CtxtHandle* context) { return ::DeleteSecurityContext(context); }
SECURITY_STATUS win_free_credentials(CredHandle* credential) { return ::FreeCredentialsHandle(credential); }

PCCERT_CONTEXT win_find_certificate(const unsigned char* thumbprint, std::string* error) {
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                       CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG |
                                           CERT_STORE_READONLY_FLAG,
                                       "MY");
    if (store == nullptr) {
        *error = status_text("CertOpenStore(LocalMachine\\My)", ::GetLastError());
        return nullptr;
    }
    CRYPT_HASH_BLOB hash{20, const_cast<BYTE*>(thumbprint)};
    PCCERT_CONTEXT found = ::CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                        CERT_FIND_SHA1_HASH, &hash, nullptr);
    if (found == nullptr) *error = status_text("CertFindCertificateInStore(LocalMachine\\My)", ::GetLastError());
    ::CertCloseStore(store, 0);  // the certificate keeps what it needs
    return found;
}

void win_free_certificate(PCCERT_CONTEXT certificate) { ::CertFreeCertificateContext(certificate); }

// Every PEM certificate of the file into a memory store, or null with *error.
HCERTSTORE load_pem_store(const std::string& path, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = "tls-ca " + path + ": cannot be read";
        return nullptr;
    }
    std::string text;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, n);
    std::fclose(file);
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (store == nullptr) {
        *error = status_text("CertOpenStore(memory)", ::GetLastError());
        return nullptr;
    }
    const std::string begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
    int added = 0;
    for (std::size_t at = text.find(begin); at != std::string::npos; at = text.find(begin, at + 1)) {
        const std::size_t stop = text.find(end, at);
        if (stop == std::string::npos) break;
        const std::string block = text.substr(at, stop + end.size() - at);
        DWORD size = 0;
        if (!::CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                                    nullptr, &size, nullptr, nullptr))
            continue;
        std::vector<BYTE> der(size);
        if (::CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                                   der.data(), &size, nullptr, nullptr) &&
            ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size, CERT_STORE_ADD_ALWAYS,
                                               nullptr))
            ++added;
    }
    if (added == 0) {
        ::CertCloseStore(store, 0);
        *error = "tls-ca " + path + ": no PEM certificate";
        return nullptr;
    }
    return store;
}

std::wstring widen(const std::string& text) {
    std::wstring wide(text.size() + 1, L'\0');
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    wide.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
    return wide;
}

// The IPv4 address of dotted text, or false for any other name.
bool ipv4_of(const std::string& name, std::uint32_t* address) {
    if (name.empty() || name.find_first_not_of("0123456789.") != std::string::npos) return false;
    *address = ::inet_addr(name.c_str());
    return *address != INADDR_NONE;
}

// True when the certificate's subject alternative names hold the address
// (by_address) or a DNS entry that covers the name: never its subject's CN.
bool names_target(PCCERT_CONTEXT certificate, bool by_address, std::uint32_t address, const std::string& name) {
    const CERT_INFO* info = certificate->pCertInfo;
    const CERT_EXTENSION* extension = ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (extension == nullptr ||
        !::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                               extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
        return false;
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        if (by_address) {
            found = found || (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == 4 &&
                              std::memcmp(entry.IPAddress.pbData, &address, 4) == 0);
        } else if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME && entry.pwszDNSName != nullptr) {
            std::string dns;
            for (const wchar_t* c = entry.pwszDNSName; *c != 0; ++c) dns += *c < 0x80 ? static_cast<char>(*c) : '?';
            found = found || dns_name_matches(dns, name);
        }
    }
    ::LocalFree(names);
    return found;
}

// The chain's own verdict, and with tls-ca its top in those roots: the
// policy alone is not relied on to tell an untrusted root (Wine's does not).
std::string check_anchor(PCCERT_CHAIN_CONTEXT chain, HCERTSTORE roots) {
    const DWORD errors = chain->TrustStatus.dwErrorStatus;
    if (errors != CERT_TRUST_NO_ERROR) {
        char text[64];
        std::snprintf(text, sizeof text, "no valid chain to a trusted CA (trust errors 0x%lx)",
                      static_cast<unsigned long>(errors));
        return text;
    }
    if (roots == nullptr) return "";
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[chain->cChain - 1];
    PCCERT_CONTEXT top = simple->rgpElement[simple->cElement - 1]->pCertContext;
    PCCERT_CONTEXT found =
        ::CertFindCertificateInStore(roots, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, top, nullptr);
    if (found == nullptr) return "the chain does not end at a tls-ca certificate";
    ::CertFreeCertificateContext(found);
    return "";
}

// The SSL policy over the chain: validity, server use and the name (a DNS
// name by the policy; an address against the IP entries of the names here).
std::string check_policy(PCCERT_CHAIN_CONTEXT chain, PCCERT_CONTEXT server, const std::string& name) {
    std::wstring wide = widen(name);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = wide.data();
    std::uint32_t address = 0;
    const bool by_address = ipv4_of(name, &address);
    if (by_address) ssl.fdwChecks = SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status))
        return status_text("CertVerifyCertificateChainPolicy()", ::GetLastError());
    if (status.dwError != 0) return kr::error::system_error_text(static_cast<std::int32_t>(status.dwError));
    if (!names_target(server, by_address, address, name))
        return "the certificate does not name " + std::string(by_address ? "IP address " : "DNS name ") + name;
    return "";
}

// The chain of the collector's certificate, to the tls-ca roots alone when
// set (an engine whose exclusive root store they are), then its anchor and
// the policy.
std::string check_chain(PCCERT_CONTEXT server, HCERTSTORE roots, const std::string& name) {
    HCERTCHAINENGINE engine = nullptr;
    if (roots != nullptr) {
        CERT_CHAIN_ENGINE_CONFIG config{};
        config.cbSize = sizeof config;
        config.hExclusiveRoot = roots;
        if (!::CertCreateCertificateChainEngine(&config, &engine))
            return status_text("CertCreateCertificateChainEngine()", ::GetLastError());
    }
    char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
    char* usages[] = {server_auth};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    std::string failure;
    if (!::CertGetCertificateChain(engine, server, nullptr, server->hCertStore, &para, 0, nullptr, &chain)) {
        failure = status_text("CertGetCertificateChain()", ::GetLastError());
    } else {
        failure = check_anchor(chain, roots);
        if (failure.empty()) failure = check_policy(chain, server, name);
        ::CertFreeCertificateChain(chain);
    }
    if (engine != nullptr) ::CertFreeCertificateChainEngine(engine);
    return failure;
}

void win_free_roots(HCERTSTORE roots) { ::CertCloseStore(roots, 0); }

std::string win_verify_server(CtxtHandle* context, HCERTSTORE roots, const std::string& name) {
    PCCERT_CONTEXT server = nullptr;
    const SECURITY_STATUS status = ::QueryContextAttributesA(context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &server);
    if (status != SEC_E_OK || server == nullptr)
        return status_text("QueryContextAttributes(REMOTE_CERT_CONTEXT)", static_cast<DWORD>(status));
    const std::string failure = check_chain(server, roots, name);
    ::CertFreeCertificateContext(server);
    return failure;
}

}  // namespace

const SspiApi& sspi_platform_api() {
    static const SspiApi api{win_acquire,          win_initialize,       win_query,      win_encrypt,
                             win_apply_control,    win_free_buffer,      win_delete_context,
                             win_free_credentials, win_find_certificate, win_free_certificate,
                             load_pem_store,       win_free_roots,       win_verify_server};
    return api;
}

}  // namespace kr::transport
