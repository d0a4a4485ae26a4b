#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace sayloft::core {

using Json = nlohmann::json;

// Pretty-printed (two blanks) with keys sorted, followed by a line feed.
std::string dumpPretty(const Json& value);

// Sets `key` only when the optional holds a value: absent optionals are left out of files.
template <class T>
void putOptional(Json& object, const char* key, const std::optional<T>& value) {
    if (value) object[key] = *value;
}

// Reads `key` as T when present (throws nlohmann's type_error on a wrong type); absent or
// null gives nothing.
template <class T>
std::optional<T> getOptional(const Json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    return it->template get<T>();
}

// Reads a required key as T; throws when missing or of the wrong type.
template <class T>
T getRequired(const Json& object, const char* key) {
    return object.at(key).template get<T>();
}

}  // namespace sayloft::core
