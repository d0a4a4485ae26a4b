#include "private_pulse_server.hpp"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <fstream>

namespace sayloft::test {

namespace fs = std::filesystem;

PrivatePulseServer::PrivatePulseServer() : PrivatePulseServer(Options{}) {}

PrivatePulseServer::PrivatePulseServer(Options options) : options_(std::move(options)) {
    fs::create_directories(dir_ / "run");
    fs::create_directories(dir_ / "home");
    ::chmod((dir_ / "run").c_str(), 0700);
}

PrivatePulseServer::~PrivatePulseServer() {
    kill();
}

std::string PrivatePulseServer::address() const {
    return "unix:" + (dir_ / "run" / "pulse" / "native").string();
}

std::vector<std::pair<std::string, std::string>> PrivatePulseServer::env() const {
    return {{"PULSE_SERVER", address()},
            {"PULSE_COOKIE", (dir_ / "cookie").string()},
            {"XDG_RUNTIME_DIR", (dir_ / "run").string()},
            {"HOME", (dir_ / "home").string()},
            {"XDG_CONFIG_HOME", (dir_ / "home" / ".config").string()}};
}

void PrivatePulseServer::useInThisProcess() const {
    ::setenv("PULSE_SERVER", address().c_str(), 1);
    ::setenv("PULSE_COOKIE", (dir_ / "cookie").c_str(), 1);
}

bool PrivatePulseServer::start() {
    if (running()) return true;
    std::vector<std::string> argv = {"pulseaudio",         "-n",
                                     "--daemonize=no",     "--exit-idle-time=-1",
                                     "--use-pid-file=no",  "--realtime=no",
                                     "--high-priority=no", "--log-target=stderr",
                                     "--log-level=error"};
    argv.push_back("--load=module-native-protocol-unix auth-anonymous=1 socket=" +
                   (dir_ / "run" / "pulse" / "native").string());
    for (const auto& sink : options_.sinks)
        argv.push_back(
            "--load=module-null-sink sink_name=" + sink +
            " format=float32le rate=48000 channels=2 sink_properties=device.description=" + sink);
    if (options_.microphone) {
        argv.push_back(
            "--load=module-null-sink sink_name=micfeed format=float32le rate=48000 channels=1 "
            "sink_properties=device.description=micfeed");
        argv.push_back(
            std::string("--load=module-remap-source master=micfeed.monitor source_name=") +
            kMicrophone +
            " format=float32le rate=48000 channels=1 channel_map=mono "
            "master_channel_map=mono source_properties=device.description=Microphone");
    }
    fs::create_directories(dir_ / "run" / "pulse");
    try {
        pid_ = spawnBackground(argv, dir_ / "pulseaudio.log", env());
    } catch (const std::exception& e) {
        whyNot_ = e.what();
        pid_ = -1;
        return false;
    }
    const bool up = eventually([&] { return pactl({"info"}).exitCode == 0; }, 20);
    if (!up) {
        whyNot_ = "pulseaudio did not answer: " + readFile(dir_ / "pulseaudio.log");
        kill();
        return false;
    }
    if (!options_.sinks.empty()) pactl({"set-default-sink", options_.sinks.front()});
    if (options_.microphone) pactl({"set-default-source", kMicrophone});
    return true;
}

void PrivatePulseServer::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitExit(pid_);
    pid_ = -1;
}

RunResult PrivatePulseServer::pactl(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{"pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, env());
}

pid_t PrivatePulseServer::play(
    const fs::path& file, const std::string& sink,
    const std::vector<std::pair<std::string, std::string>>& extraEnv) const {
    auto environment = env();
    environment.insert(environment.end(), extraEnv.begin(), extraEnv.end());
    return spawnBackground({"paplay", "-d", sink, file.string()}, dir_ / "paplay.log", environment);
}

void writeWav(const fs::path& path, const std::vector<float>& samples, int channels, int rate) {
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    const auto bytes = static_cast<uint32_t>(samples.size() * sizeof(float));
    out.write("RIFF", 4);
    u32(36 + bytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(3);  // IEEE float
    u16(static_cast<uint16_t>(channels));
    u32(static_cast<uint32_t>(rate));
    u32(static_cast<uint32_t>(rate * channels * 4));
    u16(static_cast<uint16_t>(channels * 4));
    u16(32);
    out.write("data", 4);
    u32(bytes);
    out.write(reinterpret_cast<const char*>(samples.data()), bytes);
}

}  // namespace sayloft::test
