#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace sayloft::test {

// A private, headless PulseAudio for tests: its own runtime folder (never the user's server),
// float32 48 kHz null sinks, and a virtual microphone "mic" (a real input, not a monitor) that
// plays whatever is played into the sink "micfeed". Start one per test binary; tests skip when
// start() reports it could not run.
class PrivatePulseServer {
  public:
    struct Options {
        std::vector<std::string> sinks{"speakers"};  // the first is the default sink
        bool microphone = true;
    };

    PrivatePulseServer();
    explicit PrivatePulseServer(Options options);
    ~PrivatePulseServer();  // stops the server
    PrivatePulseServer(const PrivatePulseServer&) = delete;
    PrivatePulseServer& operator=(const PrivatePulseServer&) = delete;

    // Starts the server and waits until it answers. False (with whyNot()) when it cannot.
    bool start();
    bool running() const { return pid_ > 0; }
    const std::string& whyNot() const { return whyNot_; }

    // "unix:<runtime>/pulse/native"
    std::string address() const;
    // PULSE_SERVER and XDG_RUNTIME_DIR for child processes.
    std::vector<std::pair<std::string, std::string>> env() const;
    // Points this process's libpulse clients at the server (sets PULSE_SERVER).
    void useInThisProcess() const;

    // SIGKILL, as a crash; start() brings it back with the same devices.
    void kill();

    // pactl with the server's environment.
    RunResult pactl(const std::vector<std::string>& args) const;
    // paplay of a file into a sink, in the background; wait with waitExit(). `extraEnv` may set
    // PULSE_PROP, e.g. "application.process.binary=radio", to play as another app.
    pid_t play(const std::filesystem::path& file, const std::string& sink,
               const std::vector<std::pair<std::string, std::string>>& extraEnv = {}) const;
    // Plays a file into the virtual microphone.
    pid_t speak(const std::filesystem::path& file) const { return play(file, "micfeed"); }

    static constexpr const char* kMicrophone = "mic";

  private:
    Options options_;
    TempDir dir_;
    pid_t pid_ = -1;
    std::string whyNot_;
};

// Writes a float32 WAV file (48 kHz unless told) of interleaved samples.
void writeWav(const std::filesystem::path& path, const std::vector<float>& samples, int channels,
              int rate = 48000);

}  // namespace sayloft::test
