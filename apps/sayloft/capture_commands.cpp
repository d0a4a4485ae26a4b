#include "commands.hpp"

namespace sayloft::cli {

void addCaptureCommands(CLI::App& app) {}

}  // namespace sayloft::cli
