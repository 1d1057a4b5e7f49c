// Times typed by a person and times shown to one.

#include "recording/time_text.h"

#include <gtest/gtest.h>

namespace vidora {
namespace {

using Kind = TypedMoment::Kind;

RecordTime dateTime(uint16_t y, uint16_t mo, uint16_t d, uint16_t h, uint16_t mi, uint16_t s) {
    return RecordTime{y, mo, d, h, mi, s};
}

TEST(TimeTextTest, AcceptsEachFormAPersonTypes) {
    for (const char* text : {"2015.06.01 12:31:00", "  2015-06-01\t12:31:00 ", "2015/6/1  12:31",
                             "2015.06.01 12:31"}) {
        auto m = parseTypedMoment(text);
        ASSERT_TRUE(m) << text;
        EXPECT_EQ(m->kind, Kind::DateTime) << text;
        EXPECT_EQ(m->time, dateTime(2015, 6, 1, 12, 31, 0)) << text;
    }
    auto leap = parseTypedMoment("2016.02.29 23:59:59");
    ASSERT_TRUE(leap);
    EXPECT_EQ(leap->time, dateTime(2016, 2, 29, 23, 59, 59));

    auto day = parseTypedMoment(" 9:05:07");
    ASSERT_TRUE(day);
    EXPECT_EQ(day->kind, Kind::TimeOfDay);
    EXPECT_EQ(day->time, dateTime(0, 0, 0, 9, 5, 7));
    EXPECT_EQ(parseTypedMoment("12:31")->time, dateTime(0, 0, 0, 12, 31, 0));

    const std::pair<const char*, int64_t> into[] = {
        {"+90", 90000000}, {"+1:30", 90000000},    {"+1:02:03", 3723000000},  {"+1:30.5", 90500000},
        {"+0.25", 250000}, {"+90:00", 5400000000}, {"+0:00.1234567", 123456}, {" +5 ", 5000000},
    };
    for (const auto& [text, us] : into) {
        auto m = parseTypedMoment(text);
        ASSERT_TRUE(m) << text;
        EXPECT_EQ(m->kind, Kind::IntoRecording) << text;
        EXPECT_EQ(m->intoUs, us) << text;
    }
}

TEST(TimeTextTest, RefusesWhatIsNoneOfThem) {
    // Dates that are not real, or not the camera's; mixed separators; a date alone.
    for (const char* text : {"2015.02.30 12:00:00", "2015.06.01 25:00:00", "2015.06.01 12:60:00",
                             "2011.12.31 23:59:59", "2015.13.01 00:00:00", "2015.06-01 12:31:00",
                             "2015.06.01", "2015.06.0112:31:00"}) {
        EXPECT_FALSE(parseTypedMoment(text)) << text;
    }
    // Times of day out of range or ambiguous; bare numbers, which are no time of day.
    for (const char* text : {"", "   ", "25:00:00", "12:3", "12:31:7", "123:00", "12:31.5", "90",
                             "1:30:00:00", "１２:３１"}) {
        EXPECT_FALSE(parseTypedMoment(text)) << text;
    }
    // Times into the recording: parts after the first are two digits below 60.
    for (const char* text :
         {"+", "+1:60", "+1:5", "+-5", "+1:30.", "+ 1:30", "-1:30", "+1:02:03x", "+1234567890"}) {
        EXPECT_FALSE(parseTypedMoment(text)) << text;
    }
}

TEST(TimeTextTest, CutPointsReadBareTimesAsTimesIntoTheRecording) {
    const std::pair<const char*, int64_t> into[] = {{"90", 90000000},
                                                    {"1:30", 90000000},
                                                    {"+1:30", 90000000},
                                                    {"12:31:00", 45060000000},
                                                    {"1:02:03.5", 3723500000}};
    for (const auto& [text, us] : into) {
        auto m = parseCutPoint(text);
        ASSERT_TRUE(m) << text;
        EXPECT_EQ(m->kind, Kind::IntoRecording) << text;
        EXPECT_EQ(m->intoUs, us) << text;
    }
    auto m = parseCutPoint("2015.06.01 12:31:00");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->kind, Kind::DateTime);
    EXPECT_EQ(m->time, dateTime(2015, 6, 1, 12, 31, 0));
    for (const char* text : {"", "-5", "1:60", "2015.02.30 12:00:00", "2015.06.01", "abc"}) {
        EXPECT_FALSE(parseCutPoint(text)) << text;
    }
}

TEST(TimeTextTest, FormatsAsThePlayerShowsAndReadsBack) {
    EXPECT_EQ(formatPlayTime(-5), "0:00");
    EXPECT_EQ(formatPlayTime(0), "0:00");
    EXPECT_EQ(formatPlayTime(65999999), "1:05");
    EXPECT_EQ(formatPlayTime(3599999999), "59:59");
    EXPECT_EQ(formatPlayTime(3600000000), "1:00:00");
    EXPECT_EQ(formatPlayTime(int64_t{100} * 3600000000 + 62000000), "100:01:02");
    for (int64_t s : {0, 5, 65, 3599, 3600, 3723, 360000}) {
        auto m = parseTypedMoment("+" + formatPlayTime(s * 1000000));
        ASSERT_TRUE(m) << s;
        EXPECT_EQ(m->intoUs, s * 1000000);
    }

    const RecordTime t = dateTime(2015, 6, 1, 9, 5, 7);
    EXPECT_EQ(formatRecordTime(t), "2015.06.01 09:05:07");
    EXPECT_EQ(parseTypedMoment(formatRecordTime(t))->time, t);
    // An invalid record's date is printed too, whatever its fields hold.
    EXPECT_EQ(formatRecordTime(dateTime(65535, 65535, 0, 99, 65535, 65535)),
              "65535.65535.00 99:65535:65535");
}

}  // namespace
}  // namespace vidora
