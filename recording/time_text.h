#pragma once
// Times as a person reads and types them: the camera's date and time as the player prints it
// over the picture, a time of day, and a time into the recording as the player shows it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/engine_types.h"

namespace vidora {

// A moment a person typed: the camera's date and time as the player prints it
// ("2015.06.01 12:31:00"), a time of day alone ("12:31:00", also "12:31"), or a time into the
// recording ("+1:30", "+90", "+1:02:03", also with fractions "+1:30.5").
struct TypedMoment {
    enum class Kind { DateTime, TimeOfDay, IntoRecording };
    Kind kind = Kind::DateTime;
    RecordTime time;     // DateTime: all fields; TimeOfDay: hour, minute, second only
    int64_t intoUs = 0;  // IntoRecording
};

// Nothing for text that is none of these. Surrounding spaces are allowed; the date's fields may
// also be separated by '-' or '/' (the same one twice); month, day and hour may have one digit;
// the seconds may be left out of a time of day. A date and time must be one the camera could
// have written (a real calendar day from 2012 to 2018), a time of day a real one.
std::optional<TypedMoment> parseTypedMoment(std::string_view text);

// Where to cut a recording, for the command line: the same forms, except that a time into the
// recording needs no '+' ("1:30", "90", "1:02:03.5"), and so a time of day is read as one.
std::optional<TypedMoment> parseCutPoint(std::string_view text);

// A time into the recording as the player shows it: "1:05" (m:ss) below an hour, "1:02:03"
// from an hour on; parts of a second are dropped and a negative time shows as 0:00.
std::string formatPlayTime(int64_t us);

// Room for any RecordTime in the form below, with its terminating zero.
constexpr std::size_t kRecordTimeTextBytes = 40;
// The camera's date and time as printed over the picture: "2015.06.01 12:31:00". Fields out of
// range (an invalid record's) are printed as they are.
std::string formatRecordTime(const RecordTime& t);
// The same into a buffer, for the video thread, which prints one per picture.
void formatRecordTime(const RecordTime& t, char (&text)[kRecordTimeTextBytes]);

}  // namespace vidora
