#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <variant>

#include "core/clock.hpp"
#include "core/files.hpp"
#include "core/json.hpp"
#include "core/log.hpp"
#include "core/places.hpp"
#include "core/time_format.hpp"
#include "platform/secret_store.hpp"

namespace sayloft::platform {

namespace {

constexpr mode_t kSecretMode = 0600;

SecretResult failure(std::string text) {
    return {SecretStatus::failed, {}, std::move(text)};
}

// "20261205T205900Z": sorts by time and is safe in a file name.
std::string compactUtcNow() {
    std::string iso = core::formatIso8601Utc(core::SystemClock::now());
    std::string out;
    for (char c : iso)
        if (c != '-' && c != ':') out += c;
    return out;
}

// Renames a damaged file to "<name>.damaged-<stamp>", never over an earlier one. Returns the new
// path, or an error text.
std::variant<std::filesystem::path, std::string> setAside(const std::filesystem::path& file,
                                                          const std::string& stamp) {
    const std::string base = file.filename().string() + ".damaged-" + stamp;
    for (int n = 1; n < 1000; ++n) {
        auto target = file.parent_path() / (n == 1 ? base : base + "-" + std::to_string(n));
        if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
            return target;
        if (errno != EEXIST) return std::string(std::strerror(errno));
    }
    return std::string("too many damaged copies beside it");
}

// The whole store, or a failure when the file exists but cannot be read. A damaged file is set
// aside and counts as an empty store.
std::variant<core::Json, SecretResult> load(const std::filesystem::path& file,
                                            const std::function<std::string()>& now) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
        if (errno == ENOENT) return core::Json::object();
        return failure("cannot read " + file.string() + ": " + std::strerror(errno));
    }
    auto bytes = core::readFile(file);
    if (!bytes) return failure("cannot read " + file.string() + ": " + std::strerror(errno));
    core::Json json = core::Json::parse(*bytes, nullptr, false);
    if (!json.is_discarded() && json.is_object()) return json;

    const char* what = bytes->empty() ? "empty" : "not a secrets file";
    auto moved = setAside(file, now());
    if (auto* error = std::get_if<std::string>(&moved))
        return failure(file.string() + " is " + what + " and cannot be set aside: " + *error);
    core::log("secrets", "{} was {}; set it aside as {} and started a new one", file.string(), what,
              std::get<std::filesystem::path>(moved).filename().string());
    return core::Json::object();
}

SecretResult save(const std::filesystem::path& file, const core::Json& json) {
    std::string text;
    try {
        text = json.dump(2) + "\n";
    } catch (const core::Json::exception&) {
        return failure("a secret must be UTF-8 text");
    }
    try {
        core::writeAtomically(file, text, kSecretMode, core::Sync::durable);
        return {};
    } catch (const core::FileError& e) {
        return failure("cannot write " + file.string() + ": " + e.what());
    }
}

// A writer killed mid-write leaves its temporary copy (".<name>.<pid>.<n>.tmp", holding secrets):
// remove those whose process is gone.
void removeStaleCopies(const std::filesystem::path& file) {
    const std::string prefix = "." + file.filename().string() + ".";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(file.parent_path(), ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(prefix) || !name.ends_with(".tmp")) continue;
        const std::string rest = name.substr(prefix.size());
        const auto dot = rest.find('.');
        if (dot == std::string::npos || dot == 0) continue;
        pid_t pid = 0;
        for (char c : rest.substr(0, dot)) {
            if (c < '0' || c > '9') {
                pid = 0;
                break;
            }
            pid = pid * 10 + (c - '0');
        }
        if (pid <= 0 || pid == ::getpid()) continue;
        if (::kill(pid, 0) != 0 && errno == ESRCH) std::filesystem::remove(entry.path(), ec);
    }
}

}  // namespace

FileSecretStore::FileSecretStore(std::filesystem::path file, std::function<std::string()> now)
    : file_(std::move(file)), now_(now ? std::move(now) : compactUtcNow) {}

std::filesystem::path FileSecretStore::defaultPath() {
    return core::dataDir() / "secrets.json";
}

SecretResult FileSecretStore::read(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    auto loaded = load(file_, now_);
    if (auto* error = std::get_if<SecretResult>(&loaded)) return *error;
    const auto& json = std::get<core::Json>(loaded);
    auto s = json.find(service);
    if (s == json.end() || !s->is_object()) return {SecretStatus::notFound, {}, {}};
    auto a = s->find(account);
    if (a == s->end() || !a->is_string()) return {SecretStatus::notFound, {}, {}};
    return {SecretStatus::ok, a->get<std::string>(), {}};
}

SecretResult FileSecretStore::write(const std::string& service, const std::string& account,
                                    const std::string& value) {
    std::lock_guard lock(mutex_);
    auto loaded = load(file_, now_);
    if (auto* error = std::get_if<SecretResult>(&loaded)) return *error;
    auto& json = std::get<core::Json>(loaded);
    removeStaleCopies(file_);
    if (!json[service].is_object()) json[service] = core::Json::object();
    json[service][account] = value;
    return save(file_, json);
}

SecretResult FileSecretStore::remove(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    auto loaded = load(file_, now_);
    if (auto* error = std::get_if<SecretResult>(&loaded)) return *error;
    auto& json = std::get<core::Json>(loaded);
    auto s = json.find(service);
    if (s == json.end() || !s->is_object() || !s->contains(account))
        return {SecretStatus::notFound, {}, {}};
    s->erase(account);
    if (s->empty()) json.erase(s);
    return save(file_, json);
}

std::string FileSecretStore::describe() const {
    return file_.string();
}

}  // namespace sayloft::platform
