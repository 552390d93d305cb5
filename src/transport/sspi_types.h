#pragma once
// The Windows SSPI and Schannel declarations the TLS session uses. On Windows
// they come from the platform headers; elsewhere they are declared here with
// the Windows x64 layout, which the assertions at the end check on both
// builds, so that the session's logic runs on Linux against scripted answers.
// This is the only header of the transport that names these types.
#include <cstddef>
#include <cstdint>

#if defined(_WIN32)

#include <windows.h>
#define SECURITY_WIN32
// clang-format off
#include <sspi.h>
#include <schannel.h>
#include <wincrypt.h>
// clang-format on

#else

#define SEC_ENTRY

using LONG = std::int32_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using ULONG_PTR = std::uintptr_t;
using SECURITY_STATUS = LONG;
using ALG_ID = std::uint32_t;
using HCERTSTORE = void*;

struct SecHandle {
    ULONG_PTR dwLower;
    ULONG_PTR dwUpper;
};
using CredHandle = SecHandle;
using CtxtHandle = SecHandle;

// Only ever passed as a null pointer: its layout is never read.
union TimeStamp {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    std::int64_t QuadPart;
};

struct SecBuffer {
    ULONG cbBuffer;
    ULONG BufferType;
    void* pvBuffer;
};

struct SecBufferDesc {
    ULONG ulVersion;
    ULONG cBuffers;
    SecBuffer* pBuffers;
};

struct SecPkgContext_StreamSizes {
    ULONG cbHeader;
    ULONG cbTrailer;
    ULONG cbMaximumMessage;
    ULONG cBuffers;
    ULONG cbBlockSize;
};

using WCHAR = char16_t;

struct SecPkgContext_CipherInfo {
    DWORD dwVersion;
    DWORD dwProtocol;
    DWORD dwCipherSuite;
    DWORD dwBaseCipherSuite;
    WCHAR szCipherSuite[64];
    WCHAR szCipher[64];
    DWORD dwCipherLen;
    DWORD dwCipherBlockLen;
    WCHAR szHash[64];
    DWORD dwHashLen;
    WCHAR szExchange[64];
    DWORD dwMinExchangeLen;
    DWORD dwMaxExchangeLen;
    WCHAR szCertificate[64];
    DWORD dwKeyType;
};

// Opaque here: only the system's crypt32 reads it.
struct CERT_CONTEXT;
using PCCERT_CONTEXT = const CERT_CONTEXT*;
struct _HMAPPER;

struct SCHANNEL_CRED {
    DWORD dwVersion;
    DWORD cCreds;
    PCCERT_CONTEXT* paCred;
    HCERTSTORE hRootStore;
    DWORD cMappers;
    _HMAPPER** aphMappers;
    DWORD cSupportedAlgs;
    ALG_ID* palgSupportedAlgs;
    DWORD grbitEnabledProtocols;
    DWORD dwMinimumCipherStrength;
    DWORD dwMaximumCipherStrength;
    DWORD dwSessionLifespan;
    DWORD dwFlags;
    DWORD dwCredFormat;
};

#endif

namespace kr::transport::sspi {

// The values the session passes or compares, written once for both builds.
constexpr SECURITY_STATUS kOk = 0;
constexpr SECURITY_STATUS kContinueNeeded = 0x00090312;
constexpr SECURITY_STATUS kIncompleteCredentials = 0x00090320;
constexpr SECURITY_STATUS kIncompleteMessage = static_cast<SECURITY_STATUS>(0x80090318u);
constexpr ULONG kBufferVersion = 0;
constexpr ULONG kBufferEmpty = 0;
constexpr ULONG kBufferData = 1;
constexpr ULONG kBufferToken = 2;
constexpr ULONG kBufferExtra = 5;
constexpr ULONG kBufferStreamTrailer = 6;
constexpr ULONG kBufferStreamHeader = 7;
constexpr ULONG kNativeDataRepresentation = 0x10;
constexpr ULONG kCredentialOutbound = 2;
constexpr ULONG kAttributeStreamSizes = 4;
constexpr ULONG kAttributeCipherInfo = 0x64;
constexpr std::size_t kAlgorithmNameSize = 64;
constexpr ULONG kRequestFlags = 0x4 | 0x8 | 0x10 | 0x80 | 0x100 | 0x4000 | 0x8000;
constexpr DWORD kSchannelCredVersion = 4;
constexpr DWORD kTls12Client = 0x800;
constexpr DWORD kCredFlags = 0x8 | 0x10 | 0x00400000;
constexpr DWORD kShutdown = 1;

#if defined(_WIN32)
static_assert(kOk == SEC_E_OK && kContinueNeeded == SEC_I_CONTINUE_NEEDED &&
              kIncompleteCredentials == SEC_I_INCOMPLETE_CREDENTIALS && kIncompleteMessage == SEC_E_INCOMPLETE_MESSAGE);
static_assert(kBufferVersion == SECBUFFER_VERSION && kBufferEmpty == SECBUFFER_EMPTY && kBufferData == SECBUFFER_DATA &&
              kBufferToken == SECBUFFER_TOKEN && kBufferExtra == SECBUFFER_EXTRA &&
              kBufferStreamTrailer == SECBUFFER_STREAM_TRAILER && kBufferStreamHeader == SECBUFFER_STREAM_HEADER);
static_assert(kNativeDataRepresentation == SECURITY_NATIVE_DREP && kCredentialOutbound == SECPKG_CRED_OUTBOUND &&
              kAttributeStreamSizes == SECPKG_ATTR_STREAM_SIZES && kAttributeCipherInfo == SECPKG_ATTR_CIPHER_INFO &&
              kAlgorithmNameSize == SZ_ALG_MAX_SIZE);
static_assert(kRequestFlags == (ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_USE_SUPPLIED_CREDS | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_EXTENDED_ERROR |
                                ISC_REQ_STREAM));
static_assert(kSchannelCredVersion == SCHANNEL_CRED_VERSION && kTls12Client == SP_PROT_TLS1_2_CLIENT &&
              kShutdown == SCHANNEL_SHUTDOWN);
static_assert(kCredFlags == (SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO));
#endif

}  // namespace kr::transport::sspi

// Windows x64 layouts.
static_assert(sizeof(void*) == 8, "the agent is built for 64-bit targets");
static_assert(sizeof(SecHandle) == 16);
static_assert(sizeof(TimeStamp) == 8);
static_assert(sizeof(SecBuffer) == 16 && offsetof(SecBuffer, BufferType) == 4 && offsetof(SecBuffer, pvBuffer) == 8);
static_assert(sizeof(SecBufferDesc) == 16 && offsetof(SecBufferDesc, cBuffers) == 4 &&
              offsetof(SecBufferDesc, pBuffers) == 8);
static_assert(sizeof(SecPkgContext_StreamSizes) == 20 && offsetof(SecPkgContext_StreamSizes, cbMaximumMessage) == 8);
static_assert(sizeof(SecPkgContext_CipherInfo) == 680 && offsetof(SecPkgContext_CipherInfo, dwCipherSuite) == 8 &&
              offsetof(SecPkgContext_CipherInfo, szCipherSuite) == 16 && sizeof(WCHAR) == 2);
static_assert(sizeof(SCHANNEL_CRED) == 80 && offsetof(SCHANNEL_CRED, paCred) == 8 &&
              offsetof(SCHANNEL_CRED, hRootStore) == 16 && offsetof(SCHANNEL_CRED, grbitEnabledProtocols) == 56 &&
              offsetof(SCHANNEL_CRED, dwFlags) == 72);
