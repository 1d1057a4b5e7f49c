#include "recording/time_text.h"

#include <cstdio>

#include "recording/recording_format.h"

namespace vidora {

namespace {

constexpr int64_t kUsPerSecond = 1000000;

// Reads the typed text from left to right; every read either succeeds or moves nothing.
class Cursor {
  public:
    explicit Cursor(std::string_view text) : text_(text) {}

    bool atEnd() const { return pos_ == text_.size(); }
    bool peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
    bool take(char c) {
        if (!peek(c)) {
            return false;
        }
        ++pos_;
        return true;
    }
    // One of `chars`, returned in `*taken`.
    bool takeOneOf(std::string_view chars, char* taken) {
        if (pos_ < text_.size() && chars.find(text_[pos_]) != std::string_view::npos) {
            *taken = text_[pos_++];
            return true;
        }
        return false;
    }
    // At least `least` and at most `most` (no more than 18) decimal digits, no more following.
    bool number(std::size_t least, std::size_t most, int64_t* value) {
        std::size_t end = pos_;
        int64_t v = 0;
        while (end < text_.size() && isDigit(text_[end])) {
            if (end - pos_ == most) {
                return false;
            }
            v = v * 10 + (text_[end] - '0');
            ++end;
        }
        if (end - pos_ < least) {
            return false;
        }
        pos_ = end;
        *value = v;
        return true;
    }
    // ".digits" as microseconds: digits past the sixth are dropped.
    bool fraction(int64_t* us) {
        if (pos_ + 1 >= text_.size() || text_[pos_] != '.' || !isDigit(text_[pos_ + 1])) {
            return false;
        }
        ++pos_;
        int64_t v = 0;
        int64_t scale = kUsPerSecond;
        while (pos_ < text_.size() && isDigit(text_[pos_])) {
            scale /= 10;
            v += (text_[pos_] - '0') * scale;
            ++pos_;
        }
        *us = v;
        return true;
    }

  private:
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }
    std::string_view text_;
    std::size_t pos_ = 0;
};

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view kSpace = " \t\r\n\v\f";
    const std::size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

// "12:31:00" or "12:31", hour of one or two digits, into the time fields of `*t`.
bool readClock(Cursor& c, RecordTime* t) {
    int64_t hour = 0;
    int64_t minute = 0;
    int64_t second = 0;
    if (!c.number(1, 2, &hour) || !c.take(':') || !c.number(2, 2, &minute)) {
        return false;
    }
    if (c.take(':') && !c.number(2, 2, &second)) {
        return false;
    }
    if (hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    t->hour = static_cast<uint16_t>(hour);
    t->minute = static_cast<uint16_t>(minute);
    t->second = static_cast<uint16_t>(second);
    return true;
}

// "2015.06.01 12:31:00", the date's separator '.', '-' or '/'.
bool readDateTime(Cursor& c, RecordTime* t) {
    int64_t year = 0;
    int64_t month = 0;
    int64_t day = 0;
    char separator = 0;
    if (!c.number(4, 4, &year) || !c.takeOneOf("./-", &separator) || !c.number(1, 2, &month) ||
        !c.take(separator) || !c.number(1, 2, &day)) {
        return false;
    }
    if (!c.take(' ') && !c.take('\t')) {
        return false;
    }
    while (c.take(' ') || c.take('\t')) {
    }
    t->year = static_cast<uint16_t>(year);
    t->month = static_cast<uint16_t>(month);
    t->day = static_cast<uint16_t>(day);
    return readClock(c, t) && isValidRecordTime(*t);
}

// "90", "1:30", "1:02:03", each with an optional fraction: seconds, minutes and seconds, or
// hours, minutes and seconds. The first part may be as large as a person types it ("90:00"),
// the ones after it are two digits below 60.
bool readDuration(Cursor& c, int64_t* us) {
    int64_t parts[3] = {};
    int count = 0;
    if (!c.number(1, 9, &parts[count++])) {
        return false;
    }
    while (count < 3 && c.take(':')) {
        if (!c.number(2, 2, &parts[count]) || parts[count] > 59) {
            return false;
        }
        ++count;
    }
    int64_t seconds = 0;
    for (int i = 0; i < count; ++i) {
        seconds = seconds * 60 + parts[i];
    }
    int64_t fraction = 0;
    c.fraction(&fraction);
    *us = seconds * kUsPerSecond + fraction;
    return true;
}

enum class BareTime { TimeOfDay, IntoRecording };

std::optional<TypedMoment> parseMoment(std::string_view text, BareTime bare) {
    text = trimmed(text);
    TypedMoment moment;
    {
        Cursor c(text);
        if (c.take('+') || bare == BareTime::IntoRecording) {
            moment.kind = TypedMoment::Kind::IntoRecording;
            if (readDuration(c, &moment.intoUs) && c.atEnd()) {
                return moment;
            }
        }
    }
    {
        Cursor c(text);
        moment.kind = TypedMoment::Kind::DateTime;
        moment.time = RecordTime{};
        moment.intoUs = 0;
        if (readDateTime(c, &moment.time) && c.atEnd()) {
            return moment;
        }
    }
    if (bare == BareTime::TimeOfDay) {
        Cursor c(text);
        moment.kind = TypedMoment::Kind::TimeOfDay;
        moment.time = RecordTime{};
        if (readClock(c, &moment.time) && c.atEnd()) {
            return moment;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<TypedMoment> parseTypedMoment(std::string_view text) {
    return parseMoment(text, BareTime::TimeOfDay);
}

std::optional<TypedMoment> parseCutPoint(std::string_view text) {
    return parseMoment(text, BareTime::IntoRecording);
}

std::string formatPlayTime(int64_t us) {
    const int64_t seconds = us > 0 ? us / kUsPerSecond : 0;
    const long long hours = seconds / 3600;
    const int minutes = static_cast<int>(seconds / 60 % 60);
    const int secs = static_cast<int>(seconds % 60);
    char text[32];
    if (hours == 0) {
        std::snprintf(text, sizeof text, "%d:%02d", minutes, secs);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02d:%02d", hours, minutes, secs);
    }
    return text;
}

void formatRecordTime(const RecordTime& t, char (&text)[kRecordTimeTextBytes]) {
    std::snprintf(text, sizeof text, "%04d.%02d.%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
}

std::string formatRecordTime(const RecordTime& t) {
    char text[kRecordTimeTextBytes];
    formatRecordTime(t, text);
    return text;
}

}  // namespace vidora
