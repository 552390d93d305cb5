#include "input/record_stream.h"

#include <gtest/gtest.h>

#include "tests/support/wire.h"

namespace kr::collector {
namespace {

using test::ByteVector;

// Feeds the stream in the given chunks and returns every record it yields.
std::vector<ByteVector> split(const ByteVector& bytes, const std::vector<std::size_t>& cuts,
                              RecordStream::Status* last = nullptr) {
    RecordStream stream(1024);
    std::vector<ByteVector> records;
    RecordStream::Status status = RecordStream::Status::need_more;
    std::size_t from = 0;
    std::vector<std::size_t> ends = cuts;
    ends.push_back(bytes.size());
    for (std::size_t to : ends) {
        stream.feed(bytes.data() + from, to - from);
        from = to;
        Bytes record;
        while ((status = stream.next(record)) == RecordStream::Status::record) {
            records.emplace_back(record.data, record.data + record.size);
        }
    }
    EXPECT_EQ(stream.pending(), 0u);
    if (last != nullptr) {
        *last = status;
    }
    return records;
}

class RecordStreamSplit : public ::testing::Test {
protected:
    void SetUp() override {
        payloads_ = {test::hello(), ByteVector{}, test::event_message(7, "192.0.2.10", "192.0.2.1", 0, {1, 2, 3}),
                     ByteVector(300, 0xAB), test::event_message(8, "10.0.0.1", "10.0.0.2", 1, {})};
        for (const auto& payload : payloads_) {
            test::append(stream_, test::record(payload));
        }
    }
    std::vector<ByteVector> payloads_;
    ByteVector stream_;
};

// first = 0 covers every single cut.
TEST_F(RecordStreamSplit, YieldsTheSameRecordsForEveryPairOfCuts) {
    for (std::size_t first = 0; first <= stream_.size(); first += 3) {
        for (std::size_t second = first; second <= stream_.size(); ++second) {
            ASSERT_EQ(split(stream_, {first, second}), payloads_) << "cuts at " << first << ", " << second;
        }
    }
}

TEST_F(RecordStreamSplit, YieldsTheSameRecordsFedByteByByte) {
    std::vector<std::size_t> cuts;
    for (std::size_t i = 1; i < stream_.size(); ++i) {
        cuts.push_back(i);
    }
    EXPECT_EQ(split(stream_, cuts), payloads_);
}

TEST(RecordStream, KeepsOrderOverALongStreamInOddChunks) {
    ByteVector bytes;
    std::vector<ByteVector> payloads;
    for (std::uint32_t i = 0; i < 2000; ++i) {
        payloads.push_back(ByteVector(i % 97, static_cast<std::uint8_t>(i)));
        test::append(bytes, test::record(payloads.back()));
    }
    std::vector<std::size_t> cuts;
    for (std::size_t at = 13; at < bytes.size(); at += 13 + at % 251) {
        cuts.push_back(at);
    }
    EXPECT_EQ(split(bytes, cuts), payloads);
}

TEST(RecordStream, ReportsALengthAboveTheMaximumBeforeThePayloadArrives) {
    RecordStream stream(100);
    const ByteVector length{0x00, 0x00, 0x00, 101};
    Bytes record;
    stream.feed(length.data(), 2);
    EXPECT_EQ(stream.next(record), RecordStream::Status::need_more);
    stream.feed(length.data() + 2, 2);
    ASSERT_EQ(stream.next(record), RecordStream::Status::error);
    EXPECT_EQ(stream.error(), "record length 101 exceeds the maximum 100");

    // The stream stays failed whatever follows.
    const ByteVector good = test::record(ByteVector(5, 1));
    stream.feed(good.data(), good.size());
    EXPECT_EQ(stream.next(record), RecordStream::Status::error);
}

TEST(RecordStream, AcceptsARecordOfExactlyTheMaximum) {
    RecordStream stream(100);
    const ByteVector bytes = test::record(ByteVector(100, 9));
    stream.feed(bytes.data(), bytes.size());
    Bytes record;
    ASSERT_EQ(stream.next(record), RecordStream::Status::record);
    EXPECT_EQ(record.size, 100u);
    EXPECT_EQ(stream.next(record), RecordStream::Status::need_more);
}

TEST(RecordStream, ReportsHowFarAnUnfinishedRecordGot) {
    RecordStream stream(1024);
    EXPECT_EQ(stream.unfinished(), "");
    const ByteVector bytes = test::record(ByteVector(10, 1));
    stream.feed(bytes.data(), 2);
    EXPECT_EQ(stream.unfinished(), "stream ends inside a length field (2 of 4 bytes)");
    stream.feed(bytes.data() + 2, 5);
    Bytes record;
    EXPECT_EQ(stream.next(record), RecordStream::Status::need_more);
    EXPECT_EQ(stream.unfinished(), "stream ends inside a record (3 of 10 bytes)");
    stream.feed(bytes.data() + 7, bytes.size() - 7);
    EXPECT_EQ(stream.next(record), RecordStream::Status::record);
    EXPECT_EQ(stream.unfinished(), "");
}

}  // namespace
}  // namespace kr::collector
