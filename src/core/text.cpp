#include "core/text.hpp"

#include <cstdint>

namespace sayloft::core {

namespace {

constexpr char32_t kInvalid = 0xFFFFFFFF;

// Decodes the code point at `text[i]`. On an ill-formed sequence returns kInvalid and sets `len`
// to the length of its maximal valid prefix (at least 1), as the Unicode standard recommends
// for replacement.
char32_t decode(std::string_view text, size_t i, size_t& len) {
    auto byte = [&](size_t k) { return uint8_t(text[k]); };
    uint8_t b0 = byte(i);
    len = 1;
    if (b0 < 0x80) return b0;
    int need;
    char32_t cp;
    uint8_t lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1, cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2, cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3, cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return kInvalid;
    }
    for (int k = 1; k <= need; ++k) {
        if (i + k >= text.size()) return kInvalid;
        uint8_t b = byte(i + k);
        if (b < lo || b > hi) return kInvalid;
        lo = 0x80, hi = 0xBF;
        cp = (cp << 6) | (b & 0x3F);
        len = k + 1;
    }
    return cp;
}

bool isLineBreak(char32_t c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isWhitespace(char32_t c) {
    return isLineBreak(c) || c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Length of the last code point ending at `end` (exclusive), or 0 if it is ill-formed.
size_t lastCodePoint(std::string_view text, size_t end, char32_t& cp) {
    size_t start = end;
    while (start > 0 && end - start < 4) {
        --start;
        if ((uint8_t(text[start]) & 0xC0) != 0x80) break;
    }
    size_t len;
    cp = decode(text, start, len);
    return cp != kInvalid && start + len == end ? len : 0;
}

}  // namespace

size_t utf8SequenceLength(std::string_view text, size_t i) {
    size_t len;
    return decode(text, i, len) == kInvalid ? 0 : len;
}

std::string utf8Prefix(std::string_view text, size_t count) {
    size_t i = 0;
    for (size_t taken = 0, len; taken < count && i < text.size(); ++taken) {
        decode(text, i, len);
        i += len;
    }
    return std::string(text.substr(0, i));
}

bool isValidUtf8(std::string_view text) {
    for (size_t i = 0, len; i < text.size(); i += len)
        if (decode(text, i, len) == kInvalid) return false;
    return true;
}

std::string repairUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0, len; i < text.size(); i += len) {
        if (decode(text, i, len) == kInvalid) {
            out += "\xEF\xBF\xBD";
        } else {
            out.append(text.substr(i, len));
        }
    }
    return out;
}

std::string_view trimWhitespace(std::string_view text) {
    size_t begin = 0, len;
    while (begin < text.size() && isWhitespace(decode(text, begin, len))) begin += len;
    size_t end = text.size();
    char32_t cp;
    while (end > begin && (len = lastCodePoint(text, end, cp)) > 0 && isWhitespace(cp)) end -= len;
    return text.substr(begin, end - begin);
}

std::string_view trimChars(std::string_view text, std::string_view chars) {
    auto begin = text.find_first_not_of(chars);
    if (begin == std::string_view::npos) return {};
    return text.substr(begin, text.find_last_not_of(chars) - begin + 1);
}

std::string_view dropLeadingLineBreaks(std::string_view text) {
    size_t begin = 0, len;
    while (begin < text.size() && isLineBreak(decode(text, begin, len))) begin += len;
    return text.substr(begin);
}

}  // namespace sayloft::core
