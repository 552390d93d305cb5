#include <memory>

#include "capture/decoder.h"
#include "substitute/event_builder.h"
#include "substitute/event_source.h"
#include "substitute/trace_substitute.h"
#include "fault_capture.h"

namespace kr::agent::test {

std::string prepare_capture(const kr::test::TempDir&, const std::vector<CapturedQuery>& queries) {
    auto feed = std::make_shared<kr::substitute::FeedSource>();
    kr::substitute::DnsEventBuilder builder;
    const std::int64_t time = kr::capture::kEpochOffset + std::int64_t{kCaptureSeconds} * 10000000;
    for (const CapturedQuery& q : queries) {
        const EVENT_RECORD* record = builder.build(256, time, 0, address_text(q.server), address_text(q.client),
                                                   q.dns.data(), static_cast<std::uint32_t>(q.dns.size()));
        if (record) feed->push(*record);
    }
    kr::substitute::trace_set_event_source(feed);
    return "";
}

// WSAENOBUFS
int injected_socket_error() { return 10055; }

}  // namespace kr::agent::test
