#include "core/json.hpp"

namespace sayloft::core {

std::string dumpPretty(const Json& value) {
    // Invalid UTF-8 from file names must not abort an encode: replace it.
    return value.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace sayloft::core
