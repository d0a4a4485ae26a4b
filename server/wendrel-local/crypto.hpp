#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace sayloft::wendrel {

// `bytes` random bytes from the system's cryptographic generator, as lower-case hex.
std::string randomHex(size_t bytes);
// `length` random characters from an alphabet without look-alike characters (no 0/O, 1/I).
std::string randomCode(size_t length);
// SHA-256 of `data` as lower-case hex.
std::string sha256Hex(std::string_view data);

// Incremental SHA-256 for data that arrives in pieces (uploads streamed to disk).
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    void update(const void* data, size_t size);
    std::string finishHex();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sayloft::wendrel
