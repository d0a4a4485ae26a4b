#include "app/onboarding/environment_check.hpp"

#include <unistd.h>

#include <cstdlib>
#include <regex>

#include "core/log.hpp"
#include "core/places.hpp"
#include "core/process.hpp"
#include "core/text.hpp"
#include "platform/notify_once.hpp"

namespace sayloft::app {

namespace fs = std::filesystem;

EnvironmentCheck::EnvironmentCheck(Options options) : options_(std::move(options)) {}

EnvironmentCheck& EnvironmentCheck::shared() {
    static EnvironmentCheck check;
    return check;
}

std::vector<fs::path> EnvironmentCheck::defaultExtraSearchPaths() {
    return {core::userBinDir(), "/usr/local/bin"};
}

std::string EnvironmentCheck::expandedPath() const {
    std::vector<std::string> entries;
    for (auto& p : options_.extraSearchPaths) entries.push_back(p.string());
    const char* path = std::getenv("PATH");
    std::string rest = path ? path : "/usr/bin:/bin:/usr/sbin:/sbin";
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find(':', start);
        if (end == std::string::npos) end = rest.size();
        if (end > start) entries.push_back(rest.substr(start, end - start));
        start = end + 1;
    }
    std::string joined;
    for (auto& e : entries) joined += (joined.empty() ? "" : ":") + e;
    return joined;
}

std::optional<std::string> EnvironmentCheck::resolve(const std::string& name) const {
    for (auto& dir : options_.extraSearchPaths) {
        const fs::path candidate = dir / name;
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
    }
    core::ProcessOptions run;
    run.argv = {"/bin/bash", "-c",
                "PATH=" + core::shellQuote(expandedPath()) + " command -v " +
                    core::shellQuote(name) + " 2>/dev/null"};
    run.stderrTo = core::ProcessOutput::discarded();
    run.timeLimit = core::seconds(10);
    run.clock = options_.clock;
    try {
        auto result = core::runProcess(run);
        std::string found(core::trimWhitespace(result.out));
        if (found.empty() || !core::isValidUtf8(found)) return std::nullopt;
        return found;
    } catch (const core::ProcessError&) {
        return std::nullopt;
    }
}

std::optional<std::string> EnvironmentCheck::python3Path() {
    std::call_once(pythonOnce_, [this] { python3_ = resolve("python3"); });
    return python3_;
}

std::optional<std::string> EnvironmentCheck::timeoutPath() {
    std::call_once(timeoutOnce_, [this] {
        timeout_ = resolve("timeout");
        if (!timeout_) timeout_ = resolve("gtimeout");
    });
    return timeout_;
}

std::string EnvironmentCheck::problemFromStderr(const std::string& err) {
    static const std::regex missing("No module named ['\"][^'\"]+['\"]");
    std::smatch match;
    if (!std::regex_search(err, match, missing)) return "md2pdf environment check failed";
    std::string module = match.str().substr(std::string("No module named ").size());
    std::erase_if(module, [](char c) { return c == '\'' || c == '"'; });
    return "md2pdf: missing Python module `" + module +
           "` -- install it with `sudo apt install python3-markdown weasyprint`";
}

std::optional<std::string> EnvironmentCheck::checkMd2PdfEnvironment() {
    auto python = python3Path();
    if (!python) return "python3 not found -- install it with `sudo apt install python3`";
    core::ProcessOptions run;
    run.argv = {*python, "-c", "import markdown, weasyprint"};
    run.timeLimit = options_.checkTimeLimit;
    run.clock = options_.clock;
    core::ProcessResult result;
    try {
        result = core::runProcess(run);
    } catch (const core::ProcessError& e) {
        return std::string("python3 failed to launch: ") + e.what();
    }
    if (result.succeeded()) return std::nullopt;
    if (result.timedOut) return "md2pdf environment check failed (python3 did not answer)";
    return problemFromStderr(result.err);
}

void EnvironmentCheck::runAtLaunch(platform::UserDefaults& defaults,
                                   platform::Notifications& notifications) {
    core::log("env", "python3={}", python3Path().value_or("<missing>"));
    core::log("env", "timeout={}", timeoutPath().value_or("<missing, falling back to bare find>"));
    if (auto problem = checkMd2PdfEnvironment()) {
        core::log("env", "{}", *problem);
        platform::notifyOnce(defaults, notifications, kMd2PdfNoticeId,
                             "sayloft: PDF generation unavailable", *problem);
    }
}

}  // namespace sayloft::app
