#pragma once

#include <string>
#include <string_view>

namespace sayloft::vault {

// Small UTF-8 text helpers shared by the note reader and the after-transcript log.

// True when `text` is well-formed UTF-8.
bool isValidUtf8(std::string_view text);

// `text` with every ill-formed sequence replaced by U+FFFD (one per maximal invalid part).
std::string repairUtf8(std::string_view text);

// Removes Unicode white space and line breaks (tab, LF, VT, FF, CR, U+0085, the space
// separators, U+2028, U+2029) from both ends.
std::string_view trimWhitespace(std::string_view text);

// Removes leading line breaks: LF, VT, FF, CR, U+0085, U+2028, U+2029.
std::string_view dropLeadingLineBreaks(std::string_view text);

}  // namespace sayloft::vault
