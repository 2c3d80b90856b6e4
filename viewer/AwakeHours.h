#pragma once

#include <bitset>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// The hours of the day a frame's screen is on, as given by --awake:
// "HH:MM-HH:MM[,HH:MM-HH:MM...]", local time. A span may run over midnight
// (22:00-06:00), spans may touch or overlap, 24:00 may end one, and a span
// whose ends are equal lasts the whole day.
//
// The rule is the wall clock's: the screen is awake whenever the local time
// reads a minute inside a span. So on the day the clocks go forward a span
// that starts in the skipped hour begins when the clock jumps past its start,
// and the answer never depends on what was answered before: a clock that
// jumps (from 1970 to today, or back) gets the right answer at once.
class AwakeHours {
public:
    // Empty spans: always awake.
    AwakeHours() { minutes_.set(); }

    // nullopt, with problem set to what is wrong, for a text not of the form.
    static std::optional<AwakeHours> Parse(std::string_view text, std::string& problem);

    struct Answer {
        bool awake = true;
        // The first moment (seconds since the epoch) the answer differs; none
        // when it never does (the spans cover the whole day).
        std::optional<std::time_t> nextChange;
    };
    // For the moment `now`, in the local time zone as the C library sees it
    // (call tzset() first for a zone that may have changed).
    Answer At(std::time_t now) const;

private:
    bool awakeAt(std::time_t t) const;

    std::bitset<24 * 60> minutes_;  // the minutes of the day the screen is on
};
