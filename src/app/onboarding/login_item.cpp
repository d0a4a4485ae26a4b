#include "app/onboarding/login_item.hpp"

#include <unistd.h>

#include "app/onboarding/environment_check.hpp"
#include "core/files.hpp"
#include "core/log.hpp"
#include "core/places.hpp"

namespace sayloft::app {

namespace fs = std::filesystem;

std::string describe(LoginItemStatus status) {
    switch (status) {
        case LoginItemStatus::notRegistered:
            return "not registered";
        case LoginItemStatus::enabled:
            return "enabled";
        case LoginItemStatus::notFound:
            return "not found";
    }
    return "unknown";
}

LoginItem::LoginItem(platform::UserDefaults& defaults, Options options)
    : defaults_(defaults),
      entryFile_(options.entryFile.empty() ? core::autostartDir() / "sayloft.desktop"
                                           : std::move(options.entryFile)),
      command_(options.command ? std::move(options.command) : defaultCommand) {}

std::optional<std::vector<std::string>> LoginItem::defaultCommand() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec && self.filename() == "sayloft-tray") return std::vector<std::string>{self.string()};
    if (!ec) {
        const fs::path beside = self.parent_path() / "sayloft-tray";
        if (::access(beside.c_str(), X_OK) == 0) return std::vector<std::string>{beside.string()};
    }
    if (auto tray = EnvironmentCheck::shared().resolve("sayloft-tray"))
        return std::vector<std::string>{*tray};
    if (!ec && self.filename() == "sayloft") return std::vector<std::string>{self.string(), "run"};
    if (auto cli = EnvironmentCheck::shared().resolve("sayloft"))
        return std::vector<std::string>{*cli, "run"};
    return std::nullopt;
}

std::string LoginItem::execQuote(const std::string& argument) {
    // Exec field: arguments with reserved characters go in double quotes, inside which `"`, `` `
    // ``,
    // `$` and `\` take a backslash; "%" is doubled. The key file then escapes every backslash.
    static const std::string reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string value;
    for (char c : argument) value += c == '%' ? std::string("%%") : std::string(1, c);
    if (!value.empty() && value.find_first_of(reserved) == std::string::npos &&
        value.find('=') == std::string::npos)
        return value;
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    std::string escaped;
    for (char c : quoted) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return escaped;
}

std::string LoginItem::entryText(const std::vector<std::string>& command) {
    std::string exec;
    for (auto& argument : command) exec += (exec.empty() ? "" : " ") + execQuote(argument);
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=sayloft\n"
           "Comment=Files what is said into your notes vault\n"
           "Exec=" +
           exec +
           "\n"
           "Terminal=false\n"
           "NoDisplay=true\n"
           "X-GNOME-Autostart-enabled=true\n";
}

LoginItemStatus LoginItem::status() const {
    auto text = core::readFile(entryFile_);
    if (text) {
        // A user may hide an entry instead of deleting it.
        const bool hidden = text->find("\nHidden=true") != std::string::npos ||
                            text->find("\nX-GNOME-Autostart-enabled=false") != std::string::npos;
        return hidden ? LoginItemStatus::notRegistered : LoginItemStatus::enabled;
    }
    return command_() ? LoginItemStatus::notRegistered : LoginItemStatus::notFound;
}

void LoginItem::enableByDefaultOnce() {
    defaults_.remove(kObsoleteDecidedKey);
    const LoginItemStatus current = status();
    core::log("login item", "{}", describe(current));
    if (defaults_.boolValue(kChosenKey).value_or(false)) return;
    if (current == LoginItemStatus::enabled) {
        defaults_.setBool(kChosenKey, true);
        return;
    }
    core::log("login item", "on by default (no choice made yet)");
    if (set(true)) defaults_.remove(kChosenKey);  // tried again at the next launch
}

std::optional<std::string> LoginItem::set(bool enabled) {
    defaults_.setBool(kChosenKey, true);
    const char* verb = enabled ? "register" : "unregister";
    try {
        if (enabled && status() != LoginItemStatus::enabled) {
            auto command = command_();
            if (!command)
                throw std::runtime_error("neither sayloft-tray nor sayloft was found to start");
            core::writeAtomically(entryFile_, entryText(*command));
        } else if (!enabled) {
            std::error_code ec;
            fs::remove(entryFile_, ec);
            if (ec) throw std::runtime_error(entryFile_.string() + ": " + ec.message());
        }
    } catch (const std::exception& e) {
        core::log("login item", "{} failed -- {}", verb, e.what());
        return std::string(e.what());
    }
    core::log("login item", "{} (now {})", enabled ? "registered" : "unregistered",
              describe(status()));
    return std::nullopt;
}

}  // namespace sayloft::app
