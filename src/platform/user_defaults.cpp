#include "platform/user_defaults.hpp"

#include "core/files.hpp"
#include "core/log.hpp"
#include "core/places.hpp"
#include "core/time_format.hpp"

namespace sayloft::platform {

JsonFileDefaults::JsonFileDefaults(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path JsonFileDefaults::defaultPath() {
    return core::stateDir() / "sayloft.defaults.json";
}

core::Json JsonFileDefaults::load() const {
    auto text = core::readFile(file_);
    if (!text) return core::Json::object();
    auto parsed = core::Json::parse(*text, nullptr, false);
    return parsed.is_object() ? parsed : core::Json::object();
}

void JsonFileDefaults::store(const core::Json& values) {
    try {
        core::writeAtomically(file_, core::dumpPretty(values));
    } catch (const std::exception& e) {
        core::log("env", "user defaults not saved: {}", e.what());
    }
}

std::optional<bool> JsonFileDefaults::boolValue(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto values = load();
    auto it = values.find(key);
    if (it == values.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
}

std::optional<core::TimePoint> JsonFileDefaults::dateValue(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto values = load();
    auto it = values.find(key);
    if (it == values.end() || !it->is_string()) return std::nullopt;
    return core::parseIso8601(it->get<std::string>());
}

void JsonFileDefaults::setBool(const std::string& key, bool value) {
    std::lock_guard lock(mutex_);
    auto values = load();
    values[key] = value;
    store(values);
}

void JsonFileDefaults::setDate(const std::string& key, core::TimePoint value) {
    std::lock_guard lock(mutex_);
    auto values = load();
    values[key] = core::formatIso8601Utc(value);
    store(values);
}

void JsonFileDefaults::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    auto values = load();
    if (values.erase(key) > 0) store(values);
}

}  // namespace sayloft::platform
