// GUID text and byte forms; calendar arithmetic of TDateTime.
#include "platform/Clock.h"
#include "platform/Guid.h"

#include <gtest/gtest.h>

TEST(Guid, TextAndBytesRoundTripInWindowsLayout) {
    constexpr TGUID g = GuidOf("{28C7266E-7262-431C-BF61-DCB4F19C8DC0}");
    EXPECT_EQ(g.ToString(), "{28C7266E-7262-431C-BF61-DCB4F19C8DC0}");
    auto bytes = g.Bytes();
    EXPECT_EQ(bytes[0], 0x6E);
    EXPECT_EQ(bytes[3], 0x28);
    EXPECT_EQ(bytes[4], 0x62);
    EXPECT_EQ(bytes[8], 0xBF);
    EXPECT_EQ(TGUID::FromBytes(bytes), g);
    EXPECT_EQ(TGUID::Parse("{28c7266e-7262-431c-bf61-dcb4f19c8dc0}"), g);
}

TEST(Guid, ParseRefusesMalformedText) {
    EXPECT_FALSE(TGUID::Parse("28C7266E-7262-431C-BF61-DCB4F19C8DC0"));
    EXPECT_FALSE(TGUID::Parse("{28C7266E-7262-431C-BF61-DCB4F19C8DCG}"));
    EXPECT_FALSE(TGUID::Parse("{28C7266E+7262-431C-BF61-DCB4F19C8DC0}"));
    EXPECT_FALSE(TGUID::Parse(""));
}

TEST(Guid, NewGuidsDiffer) {
    TGUID a = TGUID::New(), b = TGUID::New();
    EXPECT_NE(a, b);
    EXPECT_FALSE(a.IsNull());
}

TEST(Clock, DatesCountDaysFrom1899_12_30) {
    EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
    EXPECT_EQ(EncodeDate(2001, 1, 1), 36892.0);
    EXPECT_EQ(EncodeDate(1900, 3, 1), 61.0);
    TDateParts p = DecodeDateTime(36892.75);
    EXPECT_EQ(p.Year, 2001);
    EXPECT_EQ(p.Month, 1);
    EXPECT_EQ(p.Day, 1);
    EXPECT_EQ(p.Hour, 18);
    EXPECT_EQ(p.DayOfWeek, 2);                 // Monday
    EXPECT_EQ(DecodeDateTime(0).DayOfWeek, 7); // Saturday
}

TEST(Clock, MonthLengthsAndLeapYears) {
    EXPECT_EQ(DaysInAMonth(2000, 2), 29);
    EXPECT_EQ(DaysInAMonth(1900, 2), 28);
    EXPECT_EQ(DaysInAMonth(2024, 12), 31);
    EXPECT_FALSE(IsValidDate(2023, 2, 29));
    EXPECT_TRUE(IsValidDate(2024, 2, 29));
}

TEST(Clock, NowCanBeFixedForTests) {
    SetNowSource([] { return 40000.5; });
    EXPECT_EQ(Now(), 40000.5);
    SetNowSource(nullptr);
    EXPECT_GT(Now(), 40000.0);
}
