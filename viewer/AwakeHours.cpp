#include "viewer/AwakeHours.h"

namespace {

constexpr int kDay = 24 * 60;
// A change is looked for this far ahead: a day and its daylight-saving hour,
// twice over. Beyond it the answer never changes.
constexpr std::time_t kHorizon = 49 * 3600;

// "HH:MM" to minutes of the day; 24:00 only where an end may be.
std::optional<int> minuteOf(std::string_view text, bool end)
{
    if (text.size() != 5 || text[2] != ':')
        return std::nullopt;
    for (const int i : {0, 1, 3, 4})
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
    const int hours = (text[0] - '0') * 10 + (text[1] - '0');
    const int minutes = (text[3] - '0') * 10 + (text[4] - '0');
    if (minutes > 59 || hours > 24 || (hours == 24 && (minutes != 0 || !end)))
        return std::nullopt;
    return hours * 60 + minutes;
}

struct Wall {
    int minute;  // of the day
    long offset; // from UTC, seconds
};

Wall wallAt(std::time_t t)
{
    std::tm local{};
    localtime_r(&t, &local);
    return {local.tm_hour * 60 + local.tm_min, local.tm_gmtoff};
}

}  // namespace

std::optional<AwakeHours> AwakeHours::Parse(std::string_view text, std::string& problem)
{
    AwakeHours hours;
    hours.minutes_.reset();
    std::size_t at = 0;
    do {
        const std::size_t comma = text.find(',', at);
        const std::string_view span = text.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at);
        at = comma == std::string_view::npos ? text.size() + 1 : comma + 1;
        const std::size_t dash = span.find('-');
        const auto from = dash == std::string_view::npos ? std::nullopt : minuteOf(span.substr(0, dash), false);
        const auto to = dash == std::string_view::npos ? std::nullopt : minuteOf(span.substr(dash + 1), true);
        if (!from || !to) {
            // Appended: GCC 12 at -O3 warns falsely (-Wrestrict) about "'" + std::string(span).
            problem = span.empty() ? std::string("an empty span") : std::string("'").append(span).append("' is not a span");
            return std::nullopt;
        }
        // Equal ends: the whole day from there round to there.
        const int length = *to > *from ? *to - *from : *to + kDay - *from;
        for (int m = 0; m < length; ++m)
            hours.minutes_.set(static_cast<std::size_t>((*from + m) % kDay));
    } while (at <= text.size());
    return hours;
}

bool AwakeHours::awakeAt(std::time_t t) const { return minutes_.test(static_cast<std::size_t>(wallAt(t).minute)); }

AwakeHours::Answer AwakeHours::At(std::time_t now) const
{
    Answer answer;
    answer.awake = awakeAt(now);
    if (minutes_.all() || minutes_.none())
        return answer;
    // The answer can change only where a minute begins (zones are whole
    // minutes from UTC): the wall clock reaching the edge of a span, or the
    // clock going forward or back. Between two moments of the same UTC
    // offset the wall clock runs evenly, so the next edge is jumped to; a
    // stretch over a change of offset is walked minute by minute.
    std::time_t from = now - ((now % 60) + 60) % 60;
    while (from < now + kHorizon) {
        const Wall wall = wallAt(from);
        int ahead = 1;
        while (ahead < kDay
               && minutes_.test(static_cast<std::size_t>((wall.minute + ahead) % kDay)) == answer.awake)
            ++ahead;
        const std::time_t edge = from + 60 * static_cast<std::time_t>(ahead);
        if (wallAt(edge).offset == wall.offset) {
            if (awakeAt(edge) != answer.awake) {
                answer.nextChange = edge;
                return answer;
            }
        } else {
            for (std::time_t t = from + 60; t <= edge; t += 60)
                if (awakeAt(t) != answer.awake) {
                    answer.nextChange = t;
                    return answer;
                }
        }
        from = edge;
    }
    return answer;
}
