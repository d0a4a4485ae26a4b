#include "recorder/encoder_process.hpp"

#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "core/log.hpp"
#include "core/process.hpp"

namespace sayloft::recorder {

namespace fs = std::filesystem;

namespace {

constexpr int kFirstKindStatus = 10;

fs::path helperPath() {
    if (const char* given = std::getenv("SAYLOFT_ENCODE"); given && *given) return given;
    std::error_code ec;
    if (fs::exists(SAYLOFT_ENCODE_PATH, ec)) return SAYLOFT_ENCODE_PATH;
    // Installed beside the program that asks.
    auto self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec && fs::exists(self.parent_path() / "sayloft-encode", ec))
        return self.parent_path() / "sayloft-encode";
    return "sayloft-encode";  // looked up in PATH
}

}  // namespace

int exitStatusFor(EncodeError::Kind kind) {
    return kFirstKindStatus + int(kind);
}

std::vector<fs::path> encodeInHelper(const fs::path& workFolder,
                                     const RecordingEncoder::Options& options) {
    core::ProcessOptions run;
    run.argv = {helperPath().string(), workFolder.string(), std::to_string(options.limitFrames)};
    run.keepLastBytes = 1 << 20;
    core::ProcessResult result;
    try {
        result = core::runProcess(run);
    } catch (const core::ProcessError& e) {
        throw EncodeError(EncodeError::Kind::conversionFailed, e.what());
    }
    // The helper's log lines, as if this process had written them.
    std::istringstream errors(result.err);
    std::string line, lastLine;
    const std::string prefix = "[sayloft] ";
    while (std::getline(errors, line)) {
        if (line.empty()) continue;
        lastLine = line;
        auto colon = line.find(": ", prefix.size());
        if (line.starts_with(prefix) && colon != std::string::npos) {
            core::logLine(line.substr(prefix.size(), colon - prefix.size()),
                          line.substr(colon + 2));
        }
    }
    if (!result.succeeded()) {
        const int status = result.status();
        for (auto kind : {EncodeError::Kind::cannotCreatePart, EncodeError::Kind::conversionFailed,
                          EncodeError::Kind::writeFailed, EncodeError::Kind::noSegments,
                          EncodeError::Kind::noAudio}) {
            if (result.exited && status == exitStatusFor(kind)) throw EncodeError(kind, lastLine);
        }
        throw EncodeError(EncodeError::Kind::conversionFailed,
                          "the encoder stopped (status " + std::to_string(status) + ")" +
                              (lastLine.empty() ? "" : ": " + lastLine));
    }
    std::vector<fs::path> parts;
    std::istringstream out(result.out);
    while (std::getline(out, line))
        if (!line.empty()) parts.emplace_back(line);
    return parts;
}

}  // namespace sayloft::recorder
