// The collector's I/O-free parsers on any byte stream: the record splitter
// fed in chunks of any size, compared with a one-pass split of the whole
// stream, and each record through the hello, event message and DNS parsers,
// whose views must stay inside the record.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "input/record_stream.h"
#include "model/dns.h"
#include "model/message.h"

namespace {

using namespace kr::collector;

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "collector fuzzer: %s\n", what);
        std::abort();
    }
}

bool inside(const void* p, std::size_t n, Bytes record) {
    const auto* q = static_cast<const std::uint8_t*>(p);
    return n == 0 || (q >= record.data && q + n <= record.data + record.size);
}

void check_records(Bytes record) {
    std::string_view version;
    std::string error;
    const bool hello = parse_hello(record, version, error);
    check(hello == (record.size >= 2 && record.data[0] == kHelloFormat), "hello accepted or refused wrongly");
    if (!hello) check(!error.empty(), "hello refused without a reason");
    if (hello) check(inside(version.data(), version.size(), record) && version.size() == record.size - 1, "version view");

    EventMessage event;
    error.clear();
    if (!parse_event(record, event, error)) {
        check(!error.empty(), "event refused without a reason");
        return;
    }
    const std::uint8_t* p = record.data;
    check(p[0] == kEventFormat, "event with another format byte");
    const std::size_t ld = p[5];
    check(event.client.size() == ld && inside(event.client.data(), ld, record), "client view");
    check(event.server.size() == p[6 + ld] && inside(event.server.data(), event.server.size(), record), "server view");
    check(8 + ld + event.server.size() + event.packet.size == record.size, "event parts do not add up");
    check(inside(event.packet.data, event.packet.size, record), "packet view");

    const DnsSummary dns = parse_dns(event.packet);
    check(dns.has_header == (event.packet.size >= kDnsHeaderSize), "header read or not");
    check(!dns.has_question || dns.error.empty(), "question with an error");
    if (dns.has_header && dns.question_count > 0 && dns.error.empty()) check(dns.has_question, "question missing");
    // 255 wire bytes at most, each label byte at most 4 text bytes (\DDD).
    check(dns.qname.size() <= 4 * 255, "name text too long");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::uint32_t max_record =
        in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 300) : in.ConsumeIntegral<std::uint32_t>();
    const std::uint32_t chunk_seed = in.ConsumeIntegral<std::uint32_t>();
    const std::vector<std::uint8_t> stream = in.ConsumeRemainingBytes<std::uint8_t>();

    // The reference: one pass over the whole stream.
    struct Expected {
        std::size_t offset, length;
    };
    std::vector<Expected> expected;
    bool expect_error = false;
    std::size_t at = 0;
    while (stream.size() - at >= 4) {
        const std::uint32_t length = read_be32(stream.data() + at);
        if (length > max_record) {
            expect_error = true;
            break;
        }
        if (stream.size() - at - 4 < length) break;
        expected.push_back({at + 4, length});
        at += 4 + std::size_t{length};
    }

    // The splitter, fed in pseudo-random chunks, taking records after every feed.
    RecordStream records(max_record);
    std::uint32_t state = chunk_seed | 1;
    std::size_t fed = 0, taken = 0;
    bool failed = false;
    while (fed < stream.size() || !failed) {
        if (fed < stream.size()) {
            state = state * 1103515245u + 12345u;
            const std::size_t chunk = std::min<std::size_t>(stream.size() - fed, 1 + (state >> 16) % 97);
            records.feed(stream.data() + fed, chunk);
            fed += chunk;
        }
        Bytes record;
        RecordStream::Status status;
        while ((status = records.next(record)) == RecordStream::Status::record) {
            check(taken < expected.size(), "more records than the stream holds");
            const Expected& want = expected[taken];
            check(record.size == want.length &&
                      (want.length == 0 || std::memcmp(record.data, stream.data() + want.offset, want.length) == 0),
                  "record differs");
            check_records(record);
            ++taken;
        }
        if (status == RecordStream::Status::error) {
            check(expect_error && taken == expected.size(), "error where the stream is fine");
            check(!records.error().empty(), "error without a reason");
            failed = true;
            break;
        }
        if (fed == stream.size()) break;
    }
    check(taken == expected.size(), "records missing");
    check(failed == expect_error, "error not reported");
    if (!failed) {
        check(records.pending() == stream.size() - at, "pending bytes");
        check(records.unfinished().empty() == (records.pending() == 0), "unfinished text");
    }
    return 0;
}
