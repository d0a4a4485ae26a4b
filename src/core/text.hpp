#pragma once

#include <string>
#include <string_view>

namespace sayloft::core {

// Small UTF-8 text helpers: validation, repair, trimming and prefixes by code point.

// True when `text` is well-formed UTF-8.
bool isValidUtf8(std::string_view text);

// Length of the well-formed UTF-8 sequence starting at text[i], or 0 when there is none.
size_t utf8SequenceLength(std::string_view text, size_t i);

// The first `count` code points of `text` (an ill-formed byte counts as one).
std::string utf8Prefix(std::string_view text, size_t count);

// `text` with every ill-formed sequence replaced by U+FFFD (one per maximal invalid part).
std::string repairUtf8(std::string_view text);

// Removes Unicode white space and line breaks (tab, LF, VT, FF, CR, U+0085, the space
// separators, U+2028, U+2029) from both ends.
std::string_view trimWhitespace(std::string_view text);

// Removes the given ASCII characters from both ends (for formats that name their own blanks).
std::string_view trimChars(std::string_view text, std::string_view chars);

// Removes leading line breaks: LF, VT, FF, CR, U+0085, U+2028, U+2029.
std::string_view dropLeadingLineBreaks(std::string_view text);

}  // namespace sayloft::core
