// Records MIC and SYSTEM into a recordings folder from the simulated source and reports its
// progress on stdout ("id <id>", then "fed <frames>" about every 50 ms of audio) until it ends or
// is killed. Usage: recorder_crash_helper ROOT MIC SYSTEM TIME_SCALE SEGMENT_SECONDS
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/log.hpp"
#include "recorder/simulated_source.hpp"

using namespace sayloft;

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s ROOT MIC SYSTEM TIME_SCALE SEGMENT_SECONDS\n", argv[0]);
        return 2;
    }
    recorder::RecordingRecovery recordings(argv[1]);
    recorder::SimulatedRecordingOptions options;
    options.micFile = argv[2];
    options.systemFile = argv[3];
    options.timeScale = std::stod(argv[4]);
    options.segmentSeconds = std::stod(argv[5]);
    int64_t reported = 0;
    bool named = false;
    try {
        recorder::recordSimulated(recordings, options, core::systemClock(), {},
                                  [&](const std::string& id, int64_t fed) {
                                      if (!named) {
                                          std::printf("id %s\n", id.c_str());
                                          named = true;
                                      }
                                      if (fed - reported >= 2400) {
                                          reported = fed;
                                          std::printf("fed %lld\n", static_cast<long long>(fed));
                                          std::fflush(stdout);
                                      }
                                  });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::printf("done\n");
    return 0;
}
