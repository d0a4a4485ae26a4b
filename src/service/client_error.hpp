#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "core/error.hpp"

namespace sayloft::service {

// The service client's error for every service-level failure; what() is the user-readable text.
class ClientError : public Error {
  public:
    enum class Kind {
        requestFailed,
        planRequired,
        malformedResponse,
        audioFileNotReadable,
        missingCredentials
    };

    static ClientError requestFailed(long status, const std::string& body);
    static ClientError planRequired(std::optional<std::string> plan,
                                    std::optional<std::string> message);
    static ClientError malformedResponse(const std::string& detail);
    static ClientError audioFileNotReadable(const std::filesystem::path& file);
    static ClientError missingCredentials();

    Kind kind() const { return kind_; }
    // requestFailed: the HTTP status; 402 for planRequired; otherwise 0.
    long status() const { return status_; }
    // requestFailed: the body; malformedResponse: the detail; audioFileNotReadable: the path.
    const std::string& payload() const { return payload_; }
    const std::optional<std::string>& plan() const { return plan_; }
    const std::optional<std::string>& message() const { return message_; }

  private:
    ClientError(Kind kind, const std::string& text) : Error(text), kind_(kind) {}
    Kind kind_;
    long status_ = 0;
    std::string payload_;
    std::optional<std::string> plan_;
    std::optional<std::string> message_;
};

}  // namespace sayloft::service
