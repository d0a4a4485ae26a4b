#include "crypto.hpp"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>
#include <vector>

namespace sayloft::wendrel {

namespace {
std::vector<unsigned char> randomBytes(size_t n) {
    std::vector<unsigned char> out(n);
    if (n > 0 && RAND_bytes(out.data(), static_cast<int>(n)) != 1) {
        throw std::runtime_error("the random generator failed");
    }
    return out;
}

std::string toHex(const unsigned char* data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    return out;
}
}  // namespace

std::string randomHex(size_t bytes) {
    auto b = randomBytes(bytes);
    return toHex(b.data(), b.size());
}

std::string randomCode(size_t length) {
    // 32 symbols: each random byte gives exactly 5 uniform bits.
    static const char alphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    auto b = randomBytes(length);
    std::string out;
    for (unsigned char c : b) out.push_back(alphabet[c & 31]);
    return out;
}

struct Sha256::Impl {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
    if (!impl_->ctx || EVP_DigestInit_ex(impl_->ctx, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 is not available");
    }
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(impl_->ctx);
}

void Sha256::update(const void* data, size_t size) {
    EVP_DigestUpdate(impl_->ctx, data, size);
}

std::string Sha256::finishHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(impl_->ctx, digest, &n);
    return toHex(digest, n);
}

std::string sha256Hex(std::string_view data) {
    Sha256 h;
    h.update(data.data(), data.size());
    return h.finishHex();
}

}  // namespace sayloft::wendrel
