#include "app/onboarding/doctor.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "core/places.hpp"
#include "core/process.hpp"
#include "platform/secret_store.hpp"

namespace sayloft::app {

namespace fs = std::filesystem;
using State = DoctorCheck::State;

std::string describe(DoctorCheck::State state) {
    switch (state) {
        case State::ok:
            return "ok";
        case State::fallback:
            return "fallback";
        case State::warning:
            return "warning";
        case State::missing:
            return "missing";
    }
    return "?";
}

std::optional<std::uintmax_t> freeBytes(const fs::path& path) {
    fs::path at = path;
    std::error_code ec;
    while (!at.empty() && !fs::exists(at, ec) && at != at.parent_path()) at = at.parent_path();
    struct statvfs info {};
    if (::statvfs(at.c_str(), &info) != 0) return std::nullopt;
    return std::uintmax_t(info.f_bavail) * info.f_frsize;
}

namespace {

constexpr std::uintmax_t kLowDisk = 500ull * 1000 * 1000;

// Asks the session bus whether `name` has an owner, or can be started on demand.
enum class BusName { owned, activatable, absent };
BusName lookUpBusName(sd_bus* bus, const char* name) {
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int owned = 0;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s", name) >= 0)
        sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    if (owned) return BusName::owned;
    reply = nullptr;
    error = SD_BUS_ERROR_NULL;
    BusName result = BusName::absent;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "ListActivatableNames", &error, &reply,
                           "") >= 0) {
        char** names = nullptr;
        if (sd_bus_message_read_strv(reply, &names) >= 0 && names) {
            for (char** n = names; *n; ++n) {
                if (std::strcmp(*n, name) == 0) result = BusName::activatable;
                std::free(*n);
            }
            std::free(names);
        }
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return result;
}

void checkBus(std::vector<DoctorCheck>& out) {
    sd_bus* bus = nullptr;
    const int r = sd_bus_open_user(&bus);
    if (r < 0) {
        out.push_back({"session bus", State::missing,
                       std::string("no D-Bus session bus (") + std::strerror(-r) +
                           "); notifications and the secret store need one",
                       "dbus-user-session"});
        out.push_back({"notification service", State::missing, "needs the session bus",
                       "notification-daemon"});
        return;
    }
    out.push_back({"session bus", State::ok, "answers", ""});
    switch (lookUpBusName(bus, "org.freedesktop.Notifications")) {
        case BusName::owned:
            out.push_back({"notification service", State::ok, "running", ""});
            break;
        case BusName::activatable:
            out.push_back({"notification service", State::ok, "starts on demand", ""});
            break;
        case BusName::absent:
            out.push_back({"notification service", State::missing,
                           "nothing shows notifications (your desktop usually provides it)",
                           "notification-daemon"});
            break;
    }
    sd_bus_flush_close_unref(bus);
}

// The PulseAudio protocol's socket: $PULSE_SERVER (unix:) or the runtime dir's pulse/native.
void checkSoundServer(std::vector<DoctorCheck>& out) {
    std::string socketPath;
    if (const char* server = std::getenv("PULSE_SERVER"); server && *server) {
        std::string s = server;
        if (s.starts_with("unix:")) socketPath = s.substr(5);
    }
    if (socketPath.empty()) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        socketPath =
            (fs::path(runtime && *runtime ? runtime : "/run/user/" + std::to_string(::getuid())) /
             "pulse" / "native")
                .string();
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    bool connected = false;
    if (fd >= 0 && socketPath.size() < sizeof address.sun_path) {
        std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    if (fd >= 0) ::close(fd);
    if (connected) {
        out.push_back({"sound server", State::ok, socketPath, ""});
    } else {
        out.push_back({"sound server", State::missing,
                       "no PulseAudio or PipeWire sound server at " + socketPath +
                           "; the recorder cannot run",
                       "pipewire-pulse"});
    }
}

void checkVault(std::vector<DoctorCheck>& out, const settings::Settings& settings) {
    std::error_code ec;
    if (!fs::exists(settings.configPath(), ec)) {
        out.push_back({"vault", State::missing, "no vault chosen yet: run `sayloft setup`", ""});
        return;
    }
    const fs::path vault = core::expandTilde(settings.settings().vaultPath);
    if (!fs::is_directory(vault, ec)) {
        out.push_back(
            {"vault", State::missing, vault.string() + " does not exist: run `sayloft setup`", ""});
        return;
    }
    // Writable means a file can be made there, whatever the permission bits say.
    std::string probe = (vault / ".sayloft-doctor-XXXXXX").string();
    int fd = ::mkstemp(probe.data());
    if (fd < 0) {
        out.push_back({"vault", State::missing,
                       vault.string() + " is not writable (" + std::strerror(errno) +
                           "): check the folder permissions",
                       ""});
        return;
    }
    ::close(fd);
    ::unlink(probe.c_str());
    out.push_back({"vault", State::ok, vault.string() + " is writable", ""});
}

}  // namespace

std::vector<DoctorCheck> runDoctor(const settings::Settings& settings, EnvironmentCheck& tools) {
    std::vector<DoctorCheck> out;
    if (auto python = tools.python3Path()) {
        out.push_back({"python3", State::ok, *python, ""});
        if (auto problem = tools.checkMd2PdfEnvironment()) {
            out.push_back({"md2pdf modules", State::missing, *problem + "; PDF export is off",
                           "python3-markdown weasyprint"});
        } else {
            out.push_back({"md2pdf modules", State::ok, "markdown and weasyprint import", ""});
        }
    } else {
        out.push_back({"python3", State::missing, "not found; PDF export is off", "python3"});
        out.push_back(
            {"md2pdf modules", State::missing, "needs python3", "python3-markdown weasyprint"});
    }
    if (auto timeout = tools.timeoutPath()) {
        out.push_back({"timeout", State::ok, *timeout, ""});
    } else {
        out.push_back({"timeout", State::warning, "not found; file scans run without a time limit",
                       "coreutils"});
    }

    checkBus(out);
    if (platform::SecretServiceStore::available()) {
        out.push_back({"secret store", State::ok, "Secret Service", ""});
    } else {
        out.push_back({"secret store", State::fallback,
                       "no Secret Service; the device token is kept in " +
                           platform::FileSecretStore::defaultPath().string() + " (mode 0600)",
                       "gnome-keyring"});
    }
    checkSoundServer(out);

    const fs::path data = core::dataDir();
    if (auto free = freeBytes(data)) {
        const double gb = double(*free) / 1e9;
        char text[64];
        std::snprintf(text, sizeof text, "%.1f GB free", gb);
        out.push_back({"free disk", *free < kLowDisk ? State::warning : State::ok,
                       std::string(text) + " in " + data.string() +
                           (*free < kLowDisk ? "; recordings need room" : ""),
                       ""});
    } else {
        out.push_back({"free disk", State::warning, "cannot tell for " + data.string(), ""});
    }
    checkVault(out, settings);
    return out;
}

}  // namespace sayloft::app
