#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <variant>

#include "core/files.hpp"
#include "core/json.hpp"
#include "core/places.hpp"
#include "platform/secret_store.hpp"

namespace sayloft::platform {

namespace {

constexpr mode_t kSecretMode = 0600;

SecretResult failure(std::string text) {
    return {SecretStatus::failed, {}, std::move(text)};
}

// The whole store, or a failure when the file exists but cannot be used.
std::variant<core::Json, SecretResult> load(const std::filesystem::path& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
        if (errno == ENOENT) return core::Json::object();
        return failure("cannot read " + file.string() + ": " + std::strerror(errno));
    }
    auto bytes = core::readFile(file);
    if (!bytes) return failure("cannot read " + file.string() + ": " + std::strerror(errno));
    core::Json json = core::Json::parse(*bytes, nullptr, false);
    if (json.is_discarded() || !json.is_object())
        return failure(file.string() + " is not a secrets file");
    return json;
}

SecretResult save(const std::filesystem::path& file, const core::Json& json) {
    std::string text;
    try {
        text = json.dump(2) + "\n";
    } catch (const core::Json::exception&) {
        return failure("a secret must be UTF-8 text");
    }
    try {
        core::writeAtomically(file, text, kSecretMode);
        return {};
    } catch (const core::FileError& e) {
        return failure("cannot write " + file.string() + ": " + e.what());
    }
}

}  // namespace

FileSecretStore::FileSecretStore(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path FileSecretStore::defaultPath() {
    return core::dataDir() / "secrets.json";
}

SecretResult FileSecretStore::read(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    auto loaded = load(file_);
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
    auto loaded = load(file_);
    if (auto* error = std::get_if<SecretResult>(&loaded)) return *error;
    auto& json = std::get<core::Json>(loaded);
    if (!json[service].is_object()) json[service] = core::Json::object();
    json[service][account] = value;
    return save(file_, json);
}

SecretResult FileSecretStore::remove(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    auto loaded = load(file_);
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
