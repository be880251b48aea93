#pragma once

#include <string>
#include <string_view>

namespace vorn::station {

// Every text the station keeps in its stores or puts in a page or a reply is
// UTF-8. File names and tags arrive in whatever encoding their maker used;
// where they are not UTF-8 they are nearly always Latin-1 as Windows writes
// it (Windows-1252), so that is how their stray bytes are read.

// True when `text` is UTF-8 as PostgreSQL and browsers accept it: no overlong
// forms, no surrogates, nothing above U+10FFFF, and no NUL.
bool IsUtf8(std::string_view text);

// `text` with every valid UTF-8 sequence kept as it is and every other byte
// read as Windows-1252 (0x80 is "€", 0xE9 "é"; the five bytes that code page
// leaves undefined stand for U+0081, U+008D, U+008F, U+0090 and U+009D, as in
// Latin-1), and NUL shown as U+FFFD. Text that IsUtf8 accepts comes back
// unchanged.
std::string AsUtf8(std::string_view text);

}  // namespace vorn::station
