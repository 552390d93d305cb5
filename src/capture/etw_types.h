#pragma once
// The Windows ETW and TDH declarations the capture code uses. On Windows they
// come from the platform headers; elsewhere they are declared here with the
// Windows x64 layout, which the assertions at the end check on both builds.
// This is the only header that names these types.
#include <cstddef>
#include <cstdint>

#if defined(_WIN32)

#include <windows.h>
// clang-format off
#include <evntrace.h>
#include <evntcons.h>
#include <tdh.h>
// clang-format on

#else

#define WINAPI

using BOOL = std::int32_t;
using UCHAR = std::uint8_t;
using BYTE = std::uint8_t;
using PBYTE = BYTE*;
using USHORT = std::uint16_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG64 = std::uint64_t;
using ULONGLONG = std::uint64_t;
using LONGLONG = std::int64_t;
using HANDLE = void*;
using PVOID = void*;
using LPSTR = char*;
using LPCSTR = const char*;
using TRACEHANDLE = ULONG64;
using PTRACEHANDLE = TRACEHANDLE*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

struct GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
};
using LPCGUID = const GUID*;

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

struct EVENT_DESCRIPTOR {
    USHORT Id;
    UCHAR Version;
    UCHAR Channel;
    UCHAR Level;
    UCHAR Opcode;
    USHORT Task;
    ULONGLONG Keyword;
};

struct EVENT_HEADER {
    USHORT Size;
    USHORT HeaderType;
    USHORT Flags;
    USHORT EventProperty;
    ULONG ThreadId;
    ULONG ProcessId;
    LARGE_INTEGER TimeStamp;
    GUID ProviderId;
    EVENT_DESCRIPTOR EventDescriptor;
    union {
        struct {
            ULONG KernelTime;
            ULONG UserTime;
        } Times;
        ULONG64 ProcessorTime;
    };
    GUID ActivityId;
};

struct ETW_BUFFER_CONTEXT {
    union {
        struct {
            UCHAR ProcessorNumber;
            UCHAR Alignment;
        } Processor;
        USHORT ProcessorIndex;
    };
    USHORT LoggerId;
};

struct EVENT_HEADER_EXTENDED_DATA_ITEM;

struct EVENT_RECORD {
    EVENT_HEADER EventHeader;
    ETW_BUFFER_CONTEXT BufferContext;
    USHORT ExtendedDataCount;
    USHORT UserDataLength;
    EVENT_HEADER_EXTENDED_DATA_ITEM* ExtendedData;
    PVOID UserData;
    PVOID UserContext;
};
using PEVENT_RECORD = EVENT_RECORD*;

enum PROPERTY_FLAGS : std::int32_t { PropertyStruct = 0x1, PropertyParamLength = 0x2, PropertyParamCount = 0x4 };
enum DECODING_SOURCE : std::int32_t { DecodingSourceXMLFile = 0, DecodingSourceWbem = 1, DecodingSourceWPP = 2 };
enum TEMPLATE_FLAGS : std::int32_t { TEMPLATE_EVENT_DATA = 1, TEMPLATE_USER_DATA = 2 };

struct EVENT_PROPERTY_INFO {
    PROPERTY_FLAGS Flags;
    ULONG NameOffset;
    union {
        struct {
            USHORT InType;
            USHORT OutType;
            ULONG MapNameOffset;
        } nonStructType;
        struct {
            USHORT StructStartIndex;
            USHORT NumOfStructMembers;
            ULONG padding;
        } structType;
    };
    union {
        USHORT count;
        USHORT countPropertyIndex;
    };
    union {
        USHORT length;
        USHORT lengthPropertyIndex;
    };
    ULONG Reserved;
};

struct TRACE_EVENT_INFO {
    GUID ProviderGuid;
    GUID EventGuid;
    EVENT_DESCRIPTOR EventDescriptor;
    DECODING_SOURCE DecodingSource;
    ULONG ProviderNameOffset;
    ULONG LevelNameOffset;
    ULONG ChannelNameOffset;
    ULONG KeywordsNameOffset;
    ULONG TaskNameOffset;
    ULONG OpcodeNameOffset;
    ULONG EventMessageOffset;
    ULONG ProviderMessageOffset;
    ULONG BinaryXMLOffset;
    ULONG BinaryXMLSize;
    ULONG ActivityIDNameOffset;
    ULONG RelatedActivityIDNameOffset;
    ULONG PropertyCount;
    ULONG TopLevelPropertyCount;
    TEMPLATE_FLAGS Flags;
    EVENT_PROPERTY_INFO EventPropertyInfoArray[1];
};
using PTRACE_EVENT_INFO = TRACE_EVENT_INFO*;

struct PROPERTY_DATA_DESCRIPTOR {
    ULONGLONG PropertyName;
    ULONG ArrayIndex;
    ULONG Reserved;
};
using PPROPERTY_DATA_DESCRIPTOR = PROPERTY_DATA_DESCRIPTOR*;

struct TDH_CONTEXT {
    ULONGLONG ParameterValue;
    std::int32_t ParameterType;
    ULONG ParameterSize;
};
using PTDH_CONTEXT = TDH_CONTEXT*;

struct WNODE_HEADER {
    ULONG BufferSize;
    ULONG ProviderId;
    union {
        ULONG64 HistoricalContext;
        struct {
            ULONG Version;
            ULONG Linkage;
        } VersionLinkage;
    };
    union {
        ULONG CountLost;
        HANDLE KernelHandle;
        LARGE_INTEGER TimeStamp;
    };
    GUID Guid;
    ULONG ClientContext;
    ULONG Flags;
};

struct EVENT_TRACE_PROPERTIES {
    WNODE_HEADER Wnode;
    ULONG BufferSize;
    ULONG MinimumBuffers;
    ULONG MaximumBuffers;
    ULONG MaximumFileSize;
    ULONG LogFileMode;
    ULONG FlushTimer;
    ULONG EnableFlags;
    LONG AgeLimit;
    ULONG NumberOfBuffers;
    ULONG FreeBuffers;
    ULONG EventsLost;
    ULONG BuffersWritten;
    ULONG LogBuffersLost;
    ULONG RealTimeBuffersLost;
    HANDLE LoggerThreadId;
    ULONG LogFileNameOffset;
    ULONG LoggerNameOffset;
};
using PEVENT_TRACE_PROPERTIES = EVENT_TRACE_PROPERTIES*;

// Read by nothing in the agent: kept only for their size and alignment.
struct EVENT_TRACE {
    alignas(8) unsigned char Opaque[88];
};
struct TRACE_LOGFILE_HEADER {
    alignas(8) unsigned char Opaque[280];
};

struct EVENT_TRACE_LOGFILEA;
using PEVENT_TRACE_LOGFILEA = EVENT_TRACE_LOGFILEA*;
using PEVENT_TRACE_BUFFER_CALLBACKA = ULONG(WINAPI*)(PEVENT_TRACE_LOGFILEA Logfile);
using PEVENT_CALLBACK = void(WINAPI*)(EVENT_TRACE* Event);
using PEVENT_RECORD_CALLBACK = void(WINAPI*)(PEVENT_RECORD EventRecord);

struct EVENT_TRACE_LOGFILEA {
    LPSTR LogFileName;
    LPSTR LoggerName;
    LONGLONG CurrentTime;
    ULONG BuffersRead;
    union {
        ULONG LogFileMode;
        ULONG ProcessTraceMode;
    };
    EVENT_TRACE CurrentEvent;
    TRACE_LOGFILE_HEADER LogfileHeader;
    PEVENT_TRACE_BUFFER_CALLBACKA BufferCallback;
    ULONG BufferSize;
    ULONG Filled;
    ULONG EventsLost;
    union {
        PEVENT_CALLBACK EventCallback;
        PEVENT_RECORD_CALLBACK EventRecordCallback;
    };
    ULONG IsKernelTrace;
    PVOID Context;
};

struct ENABLE_TRACE_PARAMETERS;
using PENABLE_TRACE_PARAMETERS = ENABLE_TRACE_PARAMETERS*;

constexpr ULONG ERROR_SUCCESS = 0;
constexpr ULONG ERROR_FILE_NOT_FOUND = 2;
constexpr ULONG ERROR_ACCESS_DENIED = 5;
constexpr ULONG ERROR_INVALID_HANDLE = 6;
constexpr ULONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr ULONG ERROR_INVALID_PARAMETER = 87;
constexpr ULONG ERROR_INSUFFICIENT_BUFFER = 122;
constexpr ULONG ERROR_ALREADY_EXISTS = 183;
constexpr ULONG ERROR_NOT_FOUND = 1168;
constexpr ULONG ERROR_CANCELLED = 1223;
constexpr ULONG ERROR_WMI_INSTANCE_NOT_FOUND = 4201;
constexpr ULONG ERROR_CTX_CLOSE_PENDING = 7007;

constexpr ULONG WNODE_FLAG_TRACED_GUID = 0x00020000;
constexpr ULONG EVENT_TRACE_REAL_TIME_MODE = 0x00000100;
constexpr ULONG PROCESS_TRACE_MODE_REAL_TIME = 0x00000100;
constexpr ULONG PROCESS_TRACE_MODE_EVENT_RECORD = 0x10000000;
constexpr ULONG EVENT_CONTROL_CODE_ENABLE_PROVIDER = 1;
constexpr ULONG EVENT_TRACE_CONTROL_QUERY = 0;
constexpr UCHAR TRACE_LEVEL_INFORMATION = 4;
constexpr TRACEHANDLE INVALID_PROCESSTRACE_HANDLE = ~static_cast<TRACEHANDLE>(0);

#endif

namespace kr::capture::layout {
// The x64 layout that the decoder, the trace substitute and the event builder rely on.
static_assert(sizeof(void*) == 8, "the agent is built for 64-bit targets");
static_assert(sizeof(GUID) == 16);
static_assert(sizeof(EVENT_DESCRIPTOR) == 16);
static_assert(sizeof(EVENT_HEADER) == 80);
static_assert(offsetof(EVENT_HEADER, TimeStamp) == 16);
static_assert(offsetof(EVENT_HEADER, ProviderId) == 24);
static_assert(offsetof(EVENT_HEADER, EventDescriptor) == 40);
static_assert(offsetof(EVENT_HEADER, ActivityId) == 64);
static_assert(sizeof(EVENT_RECORD) == 112);
static_assert(offsetof(EVENT_RECORD, UserDataLength) == 86);
static_assert(offsetof(EVENT_RECORD, UserData) == 96);
static_assert(offsetof(EVENT_RECORD, UserContext) == 104);
static_assert(sizeof(EVENT_PROPERTY_INFO) == 24);
static_assert(offsetof(EVENT_PROPERTY_INFO, NameOffset) == 4);
static_assert(offsetof(EVENT_PROPERTY_INFO, Reserved) == 20);
static_assert(sizeof(TRACE_EVENT_INFO) == 136);
static_assert(offsetof(TRACE_EVENT_INFO, EventDescriptor) == 32);
static_assert(offsetof(TRACE_EVENT_INFO, PropertyCount) == 100);
static_assert(offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray) == 112);
static_assert(sizeof(PROPERTY_DATA_DESCRIPTOR) == 16);
static_assert(offsetof(PROPERTY_DATA_DESCRIPTOR, ArrayIndex) == 8);
static_assert(sizeof(WNODE_HEADER) == 48);
static_assert(offsetof(WNODE_HEADER, Guid) == 24);
static_assert(offsetof(WNODE_HEADER, ClientContext) == 40);
static_assert(offsetof(WNODE_HEADER, Flags) == 44);
static_assert(sizeof(EVENT_TRACE_PROPERTIES) == 120);
static_assert(offsetof(EVENT_TRACE_PROPERTIES, BufferSize) == 48);
static_assert(offsetof(EVENT_TRACE_PROPERTIES, MinimumBuffers) == 52);
static_assert(offsetof(EVENT_TRACE_PROPERTIES, MaximumBuffers) == 56);
static_assert(offsetof(EVENT_TRACE_PROPERTIES, LogFileMode) == 64);
static_assert(offsetof(EVENT_TRACE_PROPERTIES, FlushTimer) == 68);
static_assert(offsetof(EVENT_TRACE_PROPERTIES, NumberOfBuffers) == 80);
static_assert(offsetof(EVENT_TRACE_PROPERTIES, EventsLost) == 88);
static_assert(offsetof(EVENT_TRACE_PROPERTIES, RealTimeBuffersLost) == 100);
static_assert(offsetof(EVENT_TRACE_PROPERTIES, LogFileNameOffset) == 112);
static_assert(offsetof(EVENT_TRACE_PROPERTIES, LoggerNameOffset) == 116);
static_assert(sizeof(EVENT_TRACE_LOGFILEA) == 448);
static_assert(offsetof(EVENT_TRACE_LOGFILEA, LoggerName) == 8);
static_assert(offsetof(EVENT_TRACE_LOGFILEA, ProcessTraceMode) == 28);
static_assert(offsetof(EVENT_TRACE_LOGFILEA, BufferCallback) == 400);
static_assert(offsetof(EVENT_TRACE_LOGFILEA, EventRecordCallback) == 424);
static_assert(offsetof(EVENT_TRACE_LOGFILEA, Context) == 440);
}  // namespace kr::capture::layout
