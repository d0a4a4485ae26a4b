#include "service/client_error.hpp"

#include <fmt/format.h>

namespace sayloft::service {

ClientError ClientError::requestFailed(long status, const std::string& body) {
    ClientError e(Kind::requestFailed, fmt::format("WL request failed ({}): {}", status, body));
    e.status_ = status;
    e.payload_ = body;
    return e;
}

ClientError ClientError::planRequired(std::optional<std::string> plan,
                                      std::optional<std::string> message) {
    std::string text;
    if (message && !message->empty()) {
        text = "Wendrel refused this request (402): " + *message;
    } else {
        text = "Wendrel refused this request for your plan (402";
        if (plan) text += ", needs " + *plan;
        text += ")";
    }
    ClientError e(Kind::planRequired, text);
    e.status_ = 402;
    e.plan_ = std::move(plan);
    e.message_ = std::move(message);
    return e;
}

ClientError ClientError::malformedResponse(const std::string& detail) {
    ClientError e(Kind::malformedResponse, "WL response malformed: " + detail);
    e.payload_ = detail;
    return e;
}

ClientError ClientError::audioFileNotReadable(const std::filesystem::path& file) {
    ClientError e(Kind::audioFileNotReadable, "Cannot read audio file: " + file.string());
    e.payload_ = file.string();
    return e;
}

ClientError ClientError::missingCredentials() {
    return ClientError(
        Kind::missingCredentials,
        "Not connected to Wendrel (run `sayloft pair`, or use Connect in the tray menu)");
}

}  // namespace sayloft::service
