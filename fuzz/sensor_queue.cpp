// The sensor queue driven by any sequence of pushes, pops and batch pops over
// any small capacity, compared after every step with the byte-by-byte
// reference model: the same results, the same popped bytes, the same
// positions and the same stored bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "error/error.h"
#include "forward/sensor_queue.h"
#include "support/ring_model.h"

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "sensor queue fuzzer: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::uint32_t capacity = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 64)
                                                    : in.ConsumeIntegralInRange<std::uint32_t>(0, 1024);
    kr::forward::SensorQueue queue;
    kr::forward::create(queue, capacity);
    kr::test::RingModel model(capacity);
    std::vector<std::uint8_t> message, out, expected;

    for (int op = 0; op < 1024 && in.remaining_bytes() > 0; ++op) {
        if (in.ConsumeIntegralInRange<int>(0, 9) < 6) {
            // Mostly lengths that fit, some at the edge of the ring and a few of
            // any size: a refused push costs an exception, so refusals are kept rare.
            const std::uint32_t fits = capacity >= 4 ? capacity - 4 : 0;
            const int kind = in.ConsumeIntegralInRange<int>(0, 63);
            std::uint32_t length;
            if (kind == 0) {
                length = in.ConsumeIntegral<std::uint32_t>();
            } else if (kind < 4) {
                length = fits + in.ConsumeIntegralInRange<std::uint32_t>(0, 5);
            } else if (kind < 20) {
                length = in.ConsumeIntegralInRange<std::uint32_t>(0, std::min<std::uint32_t>(fits, 8));
            } else {
                length = in.ConsumeIntegralInRange<std::uint32_t>(0, fits);
            }
            // Bytes from the input, then a pattern: only lengths up to the
            // ring are ever copied, larger ones must be refused untouched.
            const std::uint32_t stored = std::min<std::uint32_t>(length, capacity + 8);
            message = in.ConsumeBytes<std::uint8_t>(stored);
            for (std::uint32_t i = static_cast<std::uint32_t>(message.size()); i < stored; ++i) {
                message.push_back(static_cast<std::uint8_t>(i * 31 + op));
            }
            const bool model_stored = length == stored && model.push(message.data(), length);
            bool refused = false;
            try {
                kr::forward::push(queue, message.data(), length);
            } catch (const kr::sensor::SensorError&) {
                refused = true;
            }
            check(model_stored == !refused, "push stored or refused unlike the model");
        } else {
            const std::uint32_t out_size = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, capacity + 1)
                                                            : capacity + 8;
            // A batch pop, cut by any limit, or a single pop.
            const bool batch = in.ConsumeBool();
            const std::uint32_t limit = batch ? in.ConsumeIntegralInRange<std::uint32_t>(0, 2 * capacity + 8) : 0;
            out.assign(out_size, 0xEE);
            std::uint32_t records = 0, model_records = 0;
            const int result = batch ? kr::forward::pop_batch(queue, out.data(), out_size, limit, &records)
                                     : kr::forward::pop(queue, out.data(), out_size);
            check(result == (batch ? model.pop_batch(expected, out_size, limit, model_records)
                                   : model.pop(expected, out_size)),
                  "pop result differs");
            check(records == model_records, "batch record count differs");
            if (result > 0) check(std::memcmp(out.data(), expected.data(), result) == 0, "popped bytes differ");
            for (std::uint32_t i = result > 0 ? static_cast<std::uint32_t>(result) : 0; i < out_size; ++i) {
                check(out[i] == 0xEE, "pop wrote past the message");
            }
        }
        check(queue.read_pos == model.read_pos && queue.write_pos == model.write_pos && queue.wrapped == model.wrapped,
              "positions differ");
        check(capacity == 0 || std::memcmp(queue.storage, model.storage.data(), capacity) == 0, "stored bytes differ");
        check(capacity == 0 || (queue.read_pos < capacity && queue.write_pos < capacity), "position out of the ring");
    }
    kr::forward::destroy(queue);
    return 0;
}
