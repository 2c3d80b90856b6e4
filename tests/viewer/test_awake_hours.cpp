#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "viewer/AwakeHours.h"

namespace {

// "2026-03-29 00:30" read as UTC.
std::time_t utc(const char* text)
{
    std::tm t{};
    strptime(text, "%Y-%m-%d %H:%M:%S", &t) || strptime(text, "%Y-%m-%d %H:%M", &t);
    return timegm(&t);
}

// The zone for one test, the one it had before restored after.
class InZone {
public:
    explicit InZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ"))
            old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~InZone()
    {
        old_ ? setenv("TZ", old_->c_str(), 1) : unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> old_;
};

}  // namespace

TEST(AwakeHours, OnlyTheFormIsTaken)
{
    struct Row {
        const char* text;
        const char* problem;  // nullptr: taken
    } const rows[] = {
        {"07:00-22:00", nullptr},
        {"22:00-06:00,12:00-13:30", nullptr},
        {"00:00-24:00", nullptr},
        {"07:00-07:00", nullptr},
        {"", "an empty span"},
        {"07:00-22:00,", "an empty span"},
        {"7:00-22:00", "'7:00-22:00' is not a span"},
        {"07:00", "'07:00' is not a span"},
        {"07:00-24:01", "'07:00-24:01' is not a span"},
        {"24:00-07:00", "'24:00-07:00' is not a span"},
        {"07:60-08:00", "'07:60-08:00' is not a span"},
        {"25:00-08:00", "'25:00-08:00' is not a span"},
        {"07:00 - 08:00", "'07:00 - 08:00' is not a span"},
        {"07:00-08:00;09:00-10:00", "'07:00-08:00;09:00-10:00' is not a span"},
    };
    for (const Row& row : rows) {
        std::string problem;
        const auto hours = AwakeHours::Parse(row.text, problem);
        EXPECT_EQ(hours.has_value(), row.problem == nullptr) << row.text;
        if (row.problem) {
            EXPECT_EQ(problem, row.problem) << row.text;
        }
    }
}

// Each row: the spans, a moment (UTC), whether the screen is awake then and
// when that next changes (UTC; "" for never), in Berlin's local time: CET,
// and CEST from 2026-03-29 01:00 UTC (02:00 becomes 03:00) to 2026-10-25
// 01:00 UTC (03:00 becomes 02:00 again).
TEST(AwakeHours, AwakeByTheLocalWallClockAndWhenThatChanges)
{
    InZone berlin("Europe/Berlin");
    struct Row {
        const char* spans;
        const char* now;
        bool awake;
        const char* next;
    } const rows[] = {
        {"07:00-22:00", "2026-01-15 05:59:30", false, "2026-01-15 06:00"},
        {"07:00-22:00", "2026-01-15 06:00", true, "2026-01-15 21:00"},
        {"07:00-22:00", "2026-01-15 20:59:59", true, "2026-01-15 21:00"},
        // Over midnight.
        {"22:00-06:00", "2026-01-15 23:30", true, "2026-01-16 05:00"},
        {"22:00-06:00", "2026-01-15 12:00", false, "2026-01-15 21:00"},
        // Several, touching, overlapping.
        {"06:30-08:00,17:00-23:00", "2026-01-15 07:30", false, "2026-01-15 16:00"},
        {"08:00-12:00,12:00-14:00", "2026-01-15 08:00", true, "2026-01-15 13:00"},
        {"08:00-13:00,12:00-14:00", "2026-01-15 08:00", true, "2026-01-15 13:00"},
        {"17:00-23:00,06:30-08:00", "2026-01-15 22:00", false, "2026-01-16 05:30"},
        // The whole day: never a change.
        {"00:00-24:00", "2026-01-15 12:00", true, ""},
        {"07:00-07:00", "2026-03-29 00:30", true, ""},
        {"22:00-06:00,06:00-22:00", "2026-10-25 00:30", true, ""},
        // Clocks forward: the span starting in the skipped hour begins at the
        // jump; one wholly inside it does not come that day.
        {"02:30-05:00", "2026-03-29 00:30", false, "2026-03-29 01:00"},
        {"02:10-02:50", "2026-03-29 00:30", false, "2026-03-30 00:10"},
        {"22:00-07:00", "2026-03-29 00:30", true, "2026-03-29 05:00"},
        // Clocks back: the hour that comes twice is in or out both times.
        {"07:00-22:00", "2026-10-24 20:30", false, "2026-10-25 06:00"},
        {"02:30-04:00", "2026-10-25 00:45", true, "2026-10-25 01:00"},
        {"02:30-04:00", "2026-10-25 01:00", false, "2026-10-25 01:30"},
        // A board without a clock starts in 1970, then learns the date.
        {"07:00-22:00", "1970-01-01 00:00", false, "1970-01-01 06:00"},
        {"07:00-22:00", "2026-12-08 19:40:12", true, "2026-12-08 21:00"},
    };
    for (const Row& row : rows) {
        std::string problem;
        const auto hours = AwakeHours::Parse(row.spans, problem);
        ASSERT_TRUE(hours) << row.spans << ": " << problem;
        const AwakeHours::Answer answer = hours->At(utc(row.now));
        const std::string at = std::string(row.spans) + " at " + row.now;
        EXPECT_EQ(answer.awake, row.awake) << at;
        const auto next = *row.next ? std::optional<std::time_t>(utc(row.next)) : std::nullopt;
        EXPECT_EQ(answer.nextChange, next) << at;
    }
}
