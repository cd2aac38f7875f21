#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vesh {

// One step of strict UTF-8 decoding at `index`: the code point and its
// length in bytes; length 0 where the bytes there are not valid UTF-8
// (overlong forms, surrogates and points past U+10FFFF included).
struct Utf8Step {
    char32_t point = 0;
    std::size_t length = 0;
};
Utf8Step decodeUtf8(std::string_view bytes, std::size_t index);

bool isValidUtf8(std::string_view bytes);

// The text as it may be shown on a terminal: control characters appear as
// \n, \t, \r or \xHH (C1 controls as \u00HH) and bytes that are not UTF-8 as
// \xHH, so that a file name can neither move the cursor nor change colours.
std::string escapedForTerminal(std::string_view text);

// The progress line of one file, at most `columns` - 1 columns wide so that
// the terminal never wraps it: the escaped name (shortened in the middle with
// "…" where needed), a bar where there is room, and the percentage.
std::string progressLine(std::string_view name, double fraction, int columns);

// A length of time for people: "0.5 s", "4 min 05 s", "2 h 03 min".
std::string durationText(double seconds);

}  // namespace vesh
