#pragma once

#include <fmt/format.h>

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace sayloft::core {

// Writes "[sayloft] <area>: <message>" to stderr and, when a capture log is installed, appends
// it with a timestamp to the capture log file (asynchronously, in call order).
void logLine(std::string_view area, std::string_view message);

template <class... Args>
void log(std::string_view area, fmt::format_string<Args...> format, Args&&... args) {
    logLine(area, fmt::format(format, std::forward<Args>(args)...));
}

// An informational line: like logLine, but never on stderr (only the capture log and the
// listeners see it), so that commands do not print it every time they run.
void noteLine(std::string_view area, std::string_view message);

template <class... Args>
void note(std::string_view area, fmt::format_string<Args...> format, Args&&... args) {
    noteLine(area, fmt::format(format, std::forward<Args>(args)...));
}

// Appends log lines to a file on its own serial queue "sayloft.log". Above maxBytes the file
// becomes "<stem>.1.log" (replacing the previous generation) before the append. Write errors are
// ignored: logging never fails its caller.
class CaptureLogWriter {
  public:
    static constexpr std::uintmax_t kMaxBytes = 5'000'000;
    explicit CaptureLogWriter(std::filesystem::path file, std::uintmax_t maxBytes = kMaxBytes);
    ~CaptureLogWriter();
    void append(std::string line);
    void flush();  // waits for queued appends
    const std::filesystem::path& path() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Process-wide log configuration. The daemon installs a capture log; tests may install a
// listener to see every line, and silence stderr.
struct LogConfig {
    static void installCaptureLog(std::shared_ptr<CaptureLogWriter> writer);
    static std::shared_ptr<CaptureLogWriter> captureLog();
    static void setStderr(bool on);
    // Called with every full line ("[sayloft] area: message"); returns a token to remove it.
    static int addListener(std::function<void(const std::string&)> listener);
    static void removeListener(int token);
};

// The capture log: "sayloft.log" in the state directory (~/.local/state/sayloft).
std::filesystem::path defaultCaptureLogPath();

}  // namespace sayloft::core
