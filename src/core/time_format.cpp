#include "core/time_format.hpp"

#include <fmt/format.h>

#include <cctype>
#include <cstring>
#include <ctime>

namespace sayloft::core {

namespace {

std::time_t toTimeT(TimePoint t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count() -
           (t.time_since_epoch() < Duration::zero() &&
                    t.time_since_epoch() % std::chrono::seconds(1) != Duration::zero()
                ? 1
                : 0);
}

TimePoint fromTimeT(std::time_t s) {
    return TimePoint{std::chrono::seconds(s)};
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

bool validDate(int y, int mo, int d, int h, int mi, int s) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (mo < 1 || mo > 12 || d < 1 || h > 23 || mi > 59 || s > 60 || h < 0 || mi < 0 || s < 0)
        return false;
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    int limit = days[mo - 1] + (mo == 2 && leap ? 1 : 0);
    return d <= limit;
}

std::optional<int> digits(const std::string& text, size_t pos, size_t count) {
    if (pos + count > text.size()) return std::nullopt;
    int v = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
        v = v * 10 + (text[i] - '0');
    }
    return v;
}

}  // namespace

std::string formatIso8601Utc(TimePoint t) {
    std::time_t s = toTimeT(t);
    std::tm tm{};
    gmtime_r(&s, &tm);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", tm.tm_year + 1900, tm.tm_mon + 1,
                       tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

std::string formatIso8601Local(TimePoint t) {
    std::time_t s = toTimeT(t);
    std::tm tm{};
    localtime_r(&s, &tm);
    long off = tm.tm_gmtoff;
    std::string zone;
    if (off == 0) {
        zone = "Z";
    } else {
        char sign = off < 0 ? '-' : '+';
        off = off < 0 ? -off : off;
        zone = fmt::format("{}{:02}:{:02}", sign, off / 3600, (off % 3600) / 60);
    }
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}{}", tm.tm_year + 1900, tm.tm_mon + 1,
                       tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, zone);
}

std::optional<TimePoint> parseIso8601(const std::string& text) {
    auto y = digits(text, 0, 4), mo = digits(text, 5, 2), d = digits(text, 8, 2);
    auto h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2);
    if (!y || !mo || !d || !h || !mi || !s) return std::nullopt;
    if (text[4] != '-' || text[7] != '-' ||
        (text[10] != 'T' && text[10] != 't' && text[10] != ' ') || text[13] != ':' ||
        text[16] != ':')
        return std::nullopt;
    if (!validDate(*y, *mo, *d, *h, *mi, *s)) return std::nullopt;
    size_t pos = 19;
    Duration fraction{0};
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        double scale = 0.1, f = 0;
        size_t start = pos;
        while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
            f += (text[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == start) return std::nullopt;
        fraction = seconds(f);
    }
    long offset = 0;
    if (pos == text.size()) return std::nullopt;  // a zone is required
    if (text[pos] == 'Z' || text[pos] == 'z') {
        ++pos;
    } else if (text[pos] == '+' || text[pos] == '-') {
        int sign = text[pos] == '-' ? -1 : 1;
        auto oh = digits(text, pos + 1, 2);
        if (!oh) return std::nullopt;
        size_t mpos = pos + 3;
        if (mpos < text.size() && text[mpos] == ':') ++mpos;
        auto om = digits(text, mpos, 2);
        if (!om) return std::nullopt;
        offset = sign * (*oh * 3600L + *om * 60L);
        pos = mpos + 2;
    } else {
        return std::nullopt;
    }
    if (pos != text.size()) return std::nullopt;
    long long days = daysFromCivil(*y, unsigned(*mo), unsigned(*d));
    long long secs = days * 86400LL + *h * 3600LL + *mi * 60LL + *s - offset;
    return fromTimeT(static_cast<std::time_t>(secs)) + fraction;
}

std::string formatLocal(TimePoint t, const std::string& pattern) {
    std::time_t s = toTimeT(t);
    std::tm tm{};
    localtime_r(&s, &tm);
    std::string out;
    for (size_t i = 0; i < pattern.size();) {
        auto is = [&](const char* token) {
            return pattern.compare(i, std::strlen(token), token) == 0;
        };
        if (is("yyyy")) {
            out += fmt::format("{:04}", tm.tm_year + 1900);
            i += 4;
        } else if (is("yy")) {
            out += fmt::format("{:02}", (tm.tm_year + 1900) % 100);
            i += 2;
        } else if (is("MM")) {
            out += fmt::format("{:02}", tm.tm_mon + 1);
            i += 2;
        } else if (is("dd")) {
            out += fmt::format("{:02}", tm.tm_mday);
            i += 2;
        } else if (is("HH")) {
            out += fmt::format("{:02}", tm.tm_hour);
            i += 2;
        } else if (is("mm")) {
            out += fmt::format("{:02}", tm.tm_min);
            i += 2;
        } else if (is("ss")) {
            out += fmt::format("{:02}", tm.tm_sec);
            i += 2;
        } else {
            out += pattern[i++];
        }
    }
    return out;
}

std::optional<TimePoint> parseLocal(const std::string& text, const std::string& pattern) {
    int y = 1970, mo = 1, d = 1, h = 0, mi = 0, s = 0;
    size_t ti = 0;
    for (size_t i = 0; i < pattern.size();) {
        auto is = [&](const char* token) {
            return pattern.compare(i, std::strlen(token), token) == 0;
        };
        auto take = [&](int& field, size_t n) {
            auto v = digits(text, ti, n);
            if (!v) return false;
            field = *v;
            ti += n;
            return true;
        };
        bool ok = true;
        if (is("yyyy")) {
            ok = take(y, 4), i += 4;
        } else if (is("yy")) {
            ok = take(y, 2), y += 2000, i += 2;
        } else if (is("MM")) {
            ok = take(mo, 2), i += 2;
        } else if (is("dd")) {
            ok = take(d, 2), i += 2;
        } else if (is("HH")) {
            ok = take(h, 2), i += 2;
        } else if (is("mm")) {
            ok = take(mi, 2), i += 2;
        } else if (is("ss")) {
            ok = take(s, 2), i += 2;
        } else {
            ok = ti < text.size() && text[ti] == pattern[i];
            ++ti, ++i;
        }
        if (!ok) return std::nullopt;
    }
    if (ti != text.size() || !validDate(y, mo, d, h, mi, s) || s == 60) return std::nullopt;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    std::time_t t = mktime(&tm);
    if (t == static_cast<std::time_t>(-1) && !(y == 1969 && mo == 12 && d == 31))
        return std::nullopt;
    return fromTimeT(t);
}

}  // namespace sayloft::core
