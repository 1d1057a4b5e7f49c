// Times typed by a person and times shown to one.

#include "recording/time_text.h"

#include <gtest/gtest.h>

#include <string>

namespace vidora {
namespace {

using Kind = TypedMoment::Kind;

// A moment as text: "date 2015.06.01 12:31:00", "day 0000.00.00 12:31:00", "+<µs>" or "none".
std::string read(std::optional<TypedMoment> m) {
    if (!m) {
        return "none";
    }
    if (m->kind == Kind::IntoRecording) {
        return "+" + std::to_string(m->intoUs);
    }
    return (m->kind == Kind::DateTime ? "date " : "day ") + formatRecordTime(m->time);
}

TEST(TimeTextTest, ReadsEachFormAPersonTypes) {
    const std::pair<const char*, std::string> typed[] = {
        {"2015.06.01 12:31:00", "date 2015.06.01 12:31:00"},
        {"  2015-6-1\t 9:05 ", "date 2015.06.01 09:05:00"},   // one digit, no seconds
        {"2016/02/29 23:59:59", "date 2016.02.29 23:59:59"},  // a leap day
        {" 9:05:07", "day 0000.00.00 09:05:07"},
        {"12:31", "day 0000.00.00 12:31:00"},
        {"+90", "+90000000"},
        {"+1:02:03", "+3723000000"},
        {" +90:00.5 ", "+5400500000"},  // the first part as large as a person types it
        {"+0:00.1234567", "+123456"}};  // to the microsecond
    for (const auto& [text, moment] : typed) {
        EXPECT_EQ(read(parseTypedMoment(text)), moment) << text;
    }
    // Not real or not the camera's dates, mixed separators, a date alone or run into its time.
    const char* const refused[] = {
        "2015.02.30 12:00:00", "2011.12.31 23:59:59", "2015.06-01 12:31:00", "2015.06.01",
        "2015.06.0112:31:00",
        // Times of day out of range or of the wrong width; bare numbers.
        "", "25:00:00", "12:3", "123:00", "12:31.5", "90", "1:30:00:00", "１２:３１",
        // Into the recording: '+' right before the digits, later parts two digits below 60.
        "+", "+1:60", "+1:5", "+1:30.", "+ 1:30", "-1:30", "+1:02:03x", "+1234567890"};
    for (const char* text : refused) {
        EXPECT_EQ(read(parseTypedMoment(text)), "none") << text;
    }
}

TEST(TimeTextTest, CutPointsReadBareTimesAsTimesIntoTheRecording) {
    EXPECT_EQ(read(parseCutPoint("90")), "+90000000");
    EXPECT_EQ(read(parseCutPoint("12:31:00")), "+45060000000");
    EXPECT_EQ(read(parseCutPoint("+1:02:03.5")), "+3723500000");
    EXPECT_EQ(read(parseCutPoint("2015.06.01 12:31:00")), "date 2015.06.01 12:31:00");
    EXPECT_EQ(read(parseCutPoint("1:60")), "none");
}

TEST(TimeTextTest, FormatsAsThePlayerShowsAndReadsBack) {
    EXPECT_EQ(formatPlayTime(-5), "0:00");
    EXPECT_EQ(formatPlayTime(3599999999), "59:59");
    EXPECT_EQ(formatPlayTime(int64_t{100} * 3600000000 + 62000000), "100:01:02");
    for (int64_t s : {0, 65, 3723}) {
        EXPECT_EQ(read(parseTypedMoment("+" + formatPlayTime(s * 1000000))),
                  "+" + std::to_string(s * 1000000));
    }
    // An invalid record's date is printed too, whatever its fields hold.
    EXPECT_EQ(formatRecordTime({65535, 65535, 0, 99, 65535, 65535}),
              "65535.65535.00 99:65535:65535");
}

}  // namespace
}  // namespace vidora
