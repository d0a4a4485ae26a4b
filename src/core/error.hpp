#pragma once

#include <stdexcept>
#include <string>

namespace sayloft {

// Base of every error the system throws; what() is the text a user or the log sees as is.
class Error : public std::runtime_error {
  public:
    explicit Error(const std::string& text) : std::runtime_error(text) {}
};

}  // namespace sayloft
