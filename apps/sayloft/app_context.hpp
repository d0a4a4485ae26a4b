#pragma once

#include <memory>

#include "core/clock.hpp"

namespace sayloft::cli {

// Options every command shares.
struct GlobalOptions {
    // Product delays (size samples, ticks) pass instantly: for scripted runs and tests.
    bool virtualClock = false;
};
GlobalOptions& globalOptions();

// The clock the commands use: the system clock, or a self-advancing one with --virtual-clock.
core::Clock& commandClock();

// Installs the capture log below the home folder for this process.
void installCaptureLog();

}  // namespace sayloft::cli
