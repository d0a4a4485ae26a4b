#include "peer_credentials.hpp"

#include <arpa/inet.h>

#include <array>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace sayloft::wendrel {

namespace {
// Every address as 16 bytes, IPv4 in its IPv6-mapped form, so both tables compare alike.
using Address = std::array<unsigned char, 16>;

std::optional<Address> parseText(const std::string& text) {
    Address a{};
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        a[10] = a[11] = 0xff;
        std::memcpy(a.data() + 12, &v4, 4);
        return a;
    }
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        std::memcpy(a.data(), &v6, 16);
        return a;
    }
    return std::nullopt;
}

// "0100007F:1F90" (tcp) or 32 hex digits and a port (tcp6): each 32-bit word of the address is
// printed in the machine's own byte order.
bool parseTableEntry(const std::string& text, Address& address, int& port) {
    auto colon = text.find(':');
    if (colon == std::string::npos) return false;
    auto hex = text.substr(0, colon);
    if (hex.size() != 8 && hex.size() != 32) return false;
    std::vector<uint32_t> words;
    for (size_t i = 0; i < hex.size(); i += 8) {
        char* end = nullptr;
        auto part = hex.substr(i, 8);
        words.push_back(static_cast<uint32_t>(std::strtoul(part.c_str(), &end, 16)));
        if (*end != '\0') return false;
    }
    address = {};
    if (words.size() == 1) {
        address[10] = address[11] = 0xff;
        std::memcpy(address.data() + 12, &words[0], 4);
    } else {
        std::memcpy(address.data(), words.data(), 16);
    }
    char* end = nullptr;
    auto portText = text.substr(colon + 1);
    port = static_cast<int>(std::strtol(portText.c_str(), &end, 16));
    return *end == '\0' && !portText.empty();
}
}  // namespace

std::optional<uid_t> tcpPeerUid(const TcpConnection& c, const std::filesystem::path& procNet) {
    auto peer = parseText(c.peerAddress);
    auto local = parseText(c.localAddress);
    if (!peer || !local) return std::nullopt;
    for (auto table : {"tcp", "tcp6"}) {
        std::ifstream in(procNet / table);
        std::string line;
        std::getline(in, line);  // the column titles
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, from, to, state, queues, timer, retransmits, uid;
            if (!(fields >> slot >> from >> to >> state >> queues >> timer >> retransmits >> uid)) {
                continue;
            }
            Address a, b;
            int aPort = 0, bPort = 0;
            // The client's own socket: its local end is our peer, its remote end is us.
            if (!parseTableEntry(from, a, aPort) || !parseTableEntry(to, b, bPort)) continue;
            if (a == *peer && aPort == c.peerPort && b == *local && bPort == c.localPort) {
                char* end = nullptr;
                auto value = std::strtoul(uid.c_str(), &end, 10);
                if (*end == '\0') return static_cast<uid_t>(value);
            }
        }
    }
    return std::nullopt;
}

}  // namespace sayloft::wendrel
