#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace sayloft::app {

// Processes of this user whose executable has the given file name (this process excluded;
// processes that have exited but were not reaped yet do not count).
std::vector<pid_t> findRunningByExecutable(const std::string& executableName);
// True while `pid` is a live process (not a zombie).
bool isProcessAlive(pid_t pid);

}  // namespace sayloft::app
