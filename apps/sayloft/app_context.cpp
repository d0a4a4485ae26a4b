#include "app_context.hpp"

#include "core/log.hpp"

namespace sayloft::cli {

GlobalOptions& globalOptions() {
    static GlobalOptions options;
    return options;
}

core::Clock& commandClock() {
    if (!globalOptions().virtualClock) return core::systemClock();
    static core::ManualClock clock(core::SystemClock::now());
    clock.setAutoAdvance(true);
    return clock;
}

void installCaptureLog() {
    if (!core::LogConfig::captureLog())
        core::LogConfig::installCaptureLog(
            std::make_shared<core::CaptureLogWriter>(core::defaultCaptureLogPath()));
}

}  // namespace sayloft::cli
