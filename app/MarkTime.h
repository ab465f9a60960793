// The one reading of a time the user types for a mark, shared by the window's
// time-edit dialog and kelvane-split's --start, --end and --duration: seconds
// ("83.46"), minutes and seconds ("1:23.46") or hours, minutes and seconds
// ("0:01:23.46"); and the way a mark is written back (seconds with "." and
// two decimals, as the window's panels show it).
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kelvane {

// A typed time in hundredths of a second; decimals after the second ignored.
// Nothing for another form ("1:75", "-3", "1e3", "21:06:5:1") or a time beyond
// 32-bit milliseconds.
std::optional<int64_t> MarkHundredths(const std::string& text);
// The same forms to the microsecond (decimals after the sixth ignored), for
// times written with a picture's exact time, as a segment list's file holds them.
std::optional<int64_t> MarkMicroseconds(const std::string& text);

// Hundredths as the window shows a mark: seconds with "." and two decimals.
std::string MarkFromHundredths(int64_t hundredths);

// A typed time as the window shows it ("1:23.5" becomes "83.50"); nothing
// when MarkHundredths refuses it.
std::optional<std::string> MarkText(const std::string& text);

// A time as people read it, to the millisecond, with the number of the picture
// shown then when a picture's duration is known: "0:21:06.533 · frame 37996".
// The marks' panels keep their seconds with two decimals; this is shown beside.
std::string ReadableTime(int64_t microseconds, int64_t frame_duration = -1);

// The forms MarkHundredths reads, for messages: "seconds (83.46), minutes and
// seconds (1:23.46) or hours, minutes and seconds (0:01:23.46)".
std::string MarkForms();

}  // namespace kelvane
