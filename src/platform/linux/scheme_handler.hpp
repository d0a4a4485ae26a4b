#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "core/error.hpp"

namespace sayloft::platform {

// The desktop application registered for links of `scheme` ("obsidian" for "obsidian://..."), as
// its desktop file id ("obsidian.desktop"); nullopt when there is none. Follows the XDG rules for
// the MIME type "x-scheme-handler/<scheme>": the mimeapps.list files of the config and data
// folders ($XDG_CONFIG_HOME, $XDG_CONFIG_DIRS, $XDG_DATA_HOME/applications,
// $XDG_DATA_DIRS/applications, desktop-specific ones first), their "Default Applications" and
// "Added Associations" minus "Removed Associations", then the MimeType lines of installed desktop
// files. Only installed, not hidden desktop files count.
std::optional<std::string> schemeHandler(const std::string& scheme);
bool hasSchemeHandler(const std::string& scheme);

class OpenError : public Error {
  public:
    using Error::Error;
};

// Opens a file, folder or URL with the user's default application by running xdg-open (found on
// PATH, no shell, stdin from /dev/null, in its own session). Waits at most `wait` for xdg-open to
// finish and throws OpenError when it cannot be run or reports a failure; one still running after
// `wait` is left to finish and reaped by a later call.
void openWithDefaultApplication(const std::string& target,
                                std::chrono::milliseconds wait = std::chrono::seconds(5));

}  // namespace sayloft::platform
