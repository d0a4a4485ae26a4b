#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/clock.hpp"

namespace sayloft::browser {

// Labels for a file from the vault's naming convention: the date its name starts with, a domain
// from the folder it lives in and a type from keywords in its name. Only dated files get a domain
// and a type. Pure functions; safe from any thread.
class FileClassifier {
  public:
    struct Classification {
        std::optional<core::TimePoint> filenameDate;
        std::optional<std::string> domain;
        std::optional<std::string> fileType;
    };

    static Classification classify(std::string_view filename, std::string_view relativePath);
    // "yyMMdd-..." or "yyyy-MM-dd-..." at the start of the name, as local midnight. Two-digit
    // years 00-68 are 20xx, 69-99 are 19xx.
    static std::optional<core::TimePoint> parseFilenameDate(std::string_view filename);
    static std::optional<std::string> classifyDomain(std::string_view relativePath);
    static std::optional<std::string> classifyType(std::string_view filename);
};

}  // namespace sayloft::browser
