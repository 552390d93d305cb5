#pragma once
// The SSPI and certificate calls of the Windows TLS session, as one table so
// that the session's logic (schannel_channel.cpp) runs against scripted
// answers on Linux and under Wine. sspi_win.cpp fills it with the system's
// functions (secur32, crypt32).
#include <string>

#include "transport/sspi_types.h"

namespace kr::transport {

struct SspiApi {
    SECURITY_STATUS (*acquire_credentials_handle)(ULONG credential_use, SCHANNEL_CRED* data, CredHandle* credential);
    SECURITY_STATUS (*initialize_security_context)(CredHandle* credential, CtxtHandle* context, const char* target,
                                                   ULONG request, ULONG data_representation, SecBufferDesc* input,
                                                   CtxtHandle* new_context, SecBufferDesc* output, ULONG* attributes);
    SECURITY_STATUS (*query_context_attributes)(CtxtHandle* context, ULONG attribute, void* buffer);
    SECURITY_STATUS (*encrypt_message)(CtxtHandle* context, ULONG quality, SecBufferDesc* message, ULONG sequence);
    SECURITY_STATUS (*apply_control_token)(CtxtHandle* context, SecBufferDesc* input);
    SECURITY_STATUS (*free_context_buffer)(void* buffer);
    SECURITY_STATUS (*delete_security_context)(CtxtHandle* context);
    SECURITY_STATUS (*free_credentials_handle)(CredHandle* credential);
    // The certificate with this SHA-1 thumbprint (20 bytes) and its private
    // key in LocalMachine\My, or null with *error set.
    PCCERT_CONTEXT (*find_client_certificate)(const unsigned char* thumbprint, std::string* error);
    void (*free_certificate)(PCCERT_CONTEXT certificate);
    // Every certificate of a PEM file in a store of its own, or null with
    // *error set.
    HCERTSTORE (*load_roots)(const std::string& ca_file, std::string* error);
    void (*free_roots)(HCERTSTORE roots);
    // The collector's certificate of a finished handshake, its chain built to
    // `roots` (null: the system's store) and checked for name (a DNS name
    // among its DNS entries, never its subject, or IP address text): "" when
    // good, else what failed.
    std::string (*verify_server)(CtxtHandle* context, HCERTSTORE roots, const std::string& name);
};

// Windows only: the system's functions.
const SspiApi& sspi_platform_api();

}  // namespace kr::transport
