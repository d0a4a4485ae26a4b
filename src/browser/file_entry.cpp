#include "browser/file_entry.hpp"

#include <glib.h>

#include <algorithm>
#include <ctime>
#include <random>

#include <fmt/format.h>

#include "core/text.hpp"

namespace sayloft::browser {

namespace {

// Seconds between 1970-01-01 and 2001-01-01, both UTC.
constexpr int64_t kReferenceOffset = 978307200;

std::time_t toTimeT(core::TimePoint t) {
    return std::chrono::floor<std::chrono::seconds>(t.time_since_epoch()).count();
}

}  // namespace

std::string_view sourceName(Source source) {
    switch (source) {
        case Source::vault:
            return "vault";
        case Source::workspace:
            return "workspace";
        case Source::outbox:
            return "outbox";
        case Source::inbox:
            return "inbox";
        case Source::handoff:
            return "handoff";
    }
    return "vault";
}

std::optional<Source> sourceFromName(std::string_view name) {
    for (Source s :
         {Source::vault, Source::workspace, Source::outbox, Source::inbox, Source::handoff}) {
        if (sourceName(s) == name) return s;
    }
    return std::nullopt;
}

core::TimePoint fileDate(const FileEntry& entry, settings::TimeBasis basis) {
    switch (basis) {
        case settings::TimeBasis::modification:
            return entry.modificationDate;
        case settings::TimeBasis::creation:
            return entry.creationDate;
        case settings::TimeBasis::either:
            return entry.creationDate >= entry.modificationDate ? entry.creationDate
                                                                : entry.modificationDate;
    }
    return entry.modificationDate;
}

std::string newUuid() {
    thread_local std::mt19937_64 random{std::random_device{}()};
    uint64_t hi = random(), lo = random();
    hi = (hi & 0xffffffffffff0fffULL) | 0x0000000000004000ULL;
    lo = (lo & 0x3fffffffffffffffULL) | 0x8000000000000000ULL;
    return fmt::format("{:08X}-{:04X}-{:04X}-{:04X}-{:012X}", hi >> 32, (hi >> 16) & 0xffff,
                       hi & 0xffff, lo >> 48, lo & 0xffffffffffffULL);
}

namespace {
bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; });
}
}  // namespace

std::string displayText(std::string_view bytes) {
    if (isAscii(bytes)) return std::string(bytes);
    if (!core::isValidUtf8(bytes)) return core::repairUtf8(bytes);
    gchar* normal = g_utf8_normalize(bytes.data(), gssize(bytes.size()), G_NORMALIZE_NFC);
    if (!normal) return std::string(bytes);
    std::string out(normal);
    g_free(normal);
    return out;
}

std::string lowerText(std::string_view text) {
    if (!isAscii(text) && core::isValidUtf8(text)) {
        gchar* lower = g_utf8_strdown(text.data(), gssize(text.size()));
        if (lower) {
            std::string out(lower);
            g_free(lower);
            return out;
        }
    }
    std::string out(text);
    for (auto& c : out) {
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    }
    return out;
}

std::string lastComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string parentName(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return "";
    return lastComponent(path.substr(0, slash));
}

std::string lowerExtension(std::string_view filename) {
    auto dot = filename.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return "";
    return lowerText(filename.substr(dot + 1));
}

std::string fileUrl(std::string_view path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out = "file://";
    for (unsigned char c : path) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::optional<std::string> pathFromFileUrl(std::string_view url) {
    constexpr std::string_view prefix = "file://";
    if (url.substr(0, prefix.size()) != prefix) return std::nullopt;
    url.remove_prefix(prefix.size());
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (size_t i = 0; i < url.size(); ++i) {
        if (url[i] != '%') {
            out += url[i];
            continue;
        }
        if (i + 2 >= url.size()) return std::nullopt;
        int h = value(url[i + 1]), l = value(url[i + 2]);
        if (h < 0 || l < 0) return std::nullopt;
        out += char(h * 16 + l);
        i += 2;
    }
    if (out.empty() || out[0] != '/') return std::nullopt;
    return out;
}

double referenceSeconds(core::TimePoint t) {
    return core::toSeconds(t.time_since_epoch()) - double(kReferenceOffset);
}

core::TimePoint fromReferenceSeconds(double seconds) {
    return core::TimePoint{} + core::seconds(seconds + double(kReferenceOffset));
}

core::Json toJson(const FileEntry& e) {
    core::Json j = {
        {"id", e.id},
        {"filename", e.filename},
        {"relativePath", e.relativePath},
        {"parentFolder", e.parentFolder},
        {"creationDate", referenceSeconds(e.creationDate)},
        {"modificationDate", referenceSeconds(e.modificationDate)},
        {"size", e.size},
        {"fullPath", fileUrl(e.fullPath)},
        {"source", std::string(sourceName(e.source))},
    };
    if (e.filenameDate) j["filenameDate"] = referenceSeconds(*e.filenameDate);
    core::putOptional(j, "domain", e.domain);
    core::putOptional(j, "fileType", e.fileType);
    return j;
}

FileEntry entryFromJson(const core::Json& j) {
    FileEntry e;
    e.id = core::getRequired<std::string>(j, "id");
    e.filename = core::getRequired<std::string>(j, "filename");
    e.relativePath = core::getRequired<std::string>(j, "relativePath");
    e.parentFolder = core::getRequired<std::string>(j, "parentFolder");
    e.creationDate = fromReferenceSeconds(core::getRequired<double>(j, "creationDate"));
    e.modificationDate = fromReferenceSeconds(core::getRequired<double>(j, "modificationDate"));
    e.size = core::getRequired<int64_t>(j, "size");
    auto path = pathFromFileUrl(core::getRequired<std::string>(j, "fullPath"));
    if (!path) throw std::runtime_error("fullPath is not a file URL");
    e.fullPath = *path;
    auto source = sourceFromName(core::getRequired<std::string>(j, "source"));
    if (!source) throw std::runtime_error("unknown source");
    e.source = *source;
    if (auto d = core::getOptional<double>(j, "filenameDate"))
        e.filenameDate = fromReferenceSeconds(*d);
    e.domain = core::getOptional<std::string>(j, "domain");
    e.fileType = core::getOptional<std::string>(j, "fileType");
    return e;
}

core::TimePoint startOfDay(core::TimePoint t) {
    std::time_t s = toTimeT(t);
    std::tm tm{};
    localtime_r(&s, &tm);
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    tm.tm_isdst = -1;
    return core::TimePoint{std::chrono::seconds(std::mktime(&tm))};
}

core::TimePoint addDays(core::TimePoint dayStart, int days) {
    std::time_t s = toTimeT(dayStart);
    std::tm tm{};
    localtime_r(&s, &tm);
    tm.tm_mday += days;
    tm.tm_isdst = -1;
    return core::TimePoint{std::chrono::seconds(std::mktime(&tm))};
}

bool sameDay(core::TimePoint a, core::TimePoint b) {
    return startOfDay(a) == startOfDay(b);
}

size_t fingerprint(const std::vector<FileEntry>& files, size_t seed) {
    auto mix = [&seed](size_t value) {
        seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    };
    std::hash<std::string> text;
    mix(files.size());
    for (auto& f : files) {
        mix(text(f.fullPath));
        mix(size_t(f.modificationDate.time_since_epoch().count()));
        mix(size_t(f.creationDate.time_since_epoch().count()));
        mix(size_t(f.source));
    }
    return seed;
}

void sortNewestFirst(std::vector<FileEntry>& files, settings::TimeBasis basis) {
    std::stable_sort(files.begin(), files.end(), [basis](const FileEntry& a, const FileEntry& b) {
        return fileDate(a, basis) > fileDate(b, basis);
    });
}

}  // namespace sayloft::browser
