#pragma once
// The three Trace Data Helper calls the decoder makes, routed through one
// table so that tests can script any answer. On Windows the platform entries
// are the system's; elsewhere the stand-in library provides them (and tests
// under Wine, where the system's abort, install its table themselves).
#include "capture/etw_types.h"

namespace kr::capture {

struct TdhApi {
    ULONG(WINAPI* get_event_information)(PEVENT_RECORD event, ULONG context_count, PTDH_CONTEXT context,
                                         PTRACE_EVENT_INFO buffer, ULONG* buffer_size);
    ULONG(WINAPI* get_property_size)(PEVENT_RECORD event, ULONG context_count, PTDH_CONTEXT context,
                                     ULONG descriptor_count, PPROPERTY_DATA_DESCRIPTOR descriptors,
                                     ULONG* property_size);
    ULONG(WINAPI* get_property)(PEVENT_RECORD event, ULONG context_count, PTDH_CONTEXT context,
                                ULONG descriptor_count, PPROPERTY_DATA_DESCRIPTOR descriptors, ULONG buffer_size,
                                PBYTE buffer);
};

// The table the decoder calls; starts as tdh_platform_api().
TdhApi& tdh_api();
const TdhApi& tdh_platform_api();

}  // namespace kr::capture
