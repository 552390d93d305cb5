#include "model/iso_time.h"

#include <gtest/gtest.h>

namespace kr::collector {
namespace {

TEST(IsoTime, FormatsUtcCalendarDates) {
    EXPECT_EQ(iso_time(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(iso_time(951782400), "2000-02-29T00:00:00Z");
    EXPECT_EQ(iso_time(1709210096), "2024-02-29T12:34:56Z");
    EXPECT_EQ(iso_time(1796624400), "2026-12-07T06:20:00Z");
    EXPECT_EQ(iso_time(4102444799), "2099-12-31T23:59:59Z");
    EXPECT_EQ(iso_time(4294967295u), "2106-02-07T06:28:15Z");
}

}  // namespace
}  // namespace kr::collector
