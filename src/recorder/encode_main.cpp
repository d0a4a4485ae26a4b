// sayloft-encode WORKFOLDER LIMITFRAMES: encodes the recording saved in WORKFOLDER into its .m4a
// parts and prints their paths, one per line. Errors go to standard error; the exit status names
// the kind of failure (see encoder_process.hpp).
#include <csignal>
#include <cstdio>
#include <iostream>

#include "core/files.hpp"
#include "recorder/encoder_process.hpp"
#include "recorder/recording_encoder.hpp"
#include "recorder/recording_sidecar.hpp"

using namespace sayloft;

int main(int argc, char** argv) {
    // Past a file size limit a write fails like on a full disk and is reported as such.
    std::signal(SIGXFSZ, SIG_IGN);
    if (argc != 3) {
        std::cerr << "usage: sayloft-encode WORKFOLDER LIMITFRAMES\n";
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    try {
        auto text = core::readFile(folder / "recording.json");
        auto sidecar = text ? recorder::parseSidecar(*text) : std::nullopt;
        if (!sidecar) {
            std::cerr << "the recording in " << folder.string() << " has no readable sidecar\n";
            return recorder::exitStatusFor(recorder::EncodeError::Kind::noSegments);
        }
        recorder::RecordingEncoder::Options options;
        options.limitFrames = std::stoll(argv[2]);
        for (auto& part : recorder::RecordingEncoder::encode(folder, *sidecar, options))
            std::cout << part.string() << '\n';
        return 0;
    } catch (const recorder::EncodeError& e) {
        std::cerr << e.what() << '\n';
        return recorder::exitStatusFor(e.kind());
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
