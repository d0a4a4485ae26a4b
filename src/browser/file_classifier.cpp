#include "browser/file_classifier.hpp"

#include <array>
#include <utility>
#include <vector>

#include "browser/file_entry.hpp"
#include "core/time_format.hpp"

namespace sayloft::browser {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// True when `text` starts with `shape`, where '9' stands for any digit and other characters
// for themselves.
bool startsWithShape(std::string_view text, std::string_view shape) {
    if (text.size() < shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == '9' ? !isDigit(text[i]) : text[i] != shape[i]) return false;
    }
    return true;
}

// Tried in order; the first whose text occurs in the lower-cased relative path wins.
constexpr std::array<std::pair<std::string_view, std::string_view>, 13> kDomainPatterns{{
    {"meetings/management", "management"},
    {"meetings/board", "board"},
    {"meetings/marketing", "marketing"},
    {"meetings/operations", "operations"},
    {"meetings/monthly", "monthly"},
    {"meetings/development", "development"},
    {"meetings/unsorted", "unsorted"},
    {"meetings/", "meetings-other"},
    {"_contacts/", "contact"},
    {"_partners/", "partner"},
    {"_private/", "private"},
    {"_projects/", "project"},
    {"projects/", "project"},
}};

// Tried in order; keywords are compared lower-cased.
constexpr std::array<std::pair<std::string_view, std::string_view>, 12> kTypeKeywords{{
    {"förberedelse", "preparation"},
    {"forberedelse", "preparation"},
    {"preparation", "preparation"},
    {"standup", "standup"},
    {"monthly-part-A", "monthly-financial"},
    {"monthly-part-B", "monthly-strategic"},
    {"monthly-part", "monthly"},
    {"board-meeting", "board"},
    {"board", "board"},
    {"samtal", "conversation"},
    {"Development-Overview", "development-overview"},
    {"Weekly-Management", "management-weekly"},
}};

}  // namespace

std::optional<core::TimePoint> FileClassifier::parseFilenameDate(std::string_view name) {
    if (startsWithShape(name, "999999-")) {
        int yy = (name[0] - '0') * 10 + (name[1] - '0');
        std::string full = (yy <= 68 ? "20" : "19") + std::string(name.substr(0, 6));
        return core::parseLocal(full, "yyyyMMdd");
    }
    if (startsWithShape(name, "9999-99-99-"))
        return core::parseLocal(std::string(name.substr(0, 10)), "yyyy-MM-dd");
    return std::nullopt;
}

std::optional<std::string> FileClassifier::classifyDomain(std::string_view relativePath) {
    std::string path = lowerText(relativePath);
    for (auto& [text, domain] : kDomainPatterns) {
        if (path.find(text) != std::string::npos) return std::string(domain);
    }
    return std::nullopt;
}

std::optional<std::string> FileClassifier::classifyType(std::string_view filename) {
    // The keywords lower-cased once, on first use.
    static const auto keywords = [] {
        std::vector<std::pair<std::string, std::string_view>> lowered;
        for (auto& [keyword, type] : kTypeKeywords) lowered.emplace_back(lowerText(keyword), type);
        return lowered;
    }();
    std::string name = lowerText(filename);
    for (auto& [keyword, type] : keywords) {
        if (name.find(keyword) != std::string::npos) return std::string(type);
    }
    return std::nullopt;
}

FileClassifier::Classification FileClassifier::classify(std::string_view filename,
                                                        std::string_view relativePath) {
    Classification c;
    c.filenameDate = parseFilenameDate(filename);
    if (!c.filenameDate) return c;
    c.domain = classifyDomain(relativePath);
    c.fileType = classifyType(filename);
    return c;
}

}  // namespace sayloft::browser
