#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace sayloft::wendrel {

// One end of a TCP connection as the server sees it.
struct TcpConnection {
    std::string peerAddress;
    int peerPort = 0;
    std::string localAddress;
    int localPort = 0;
};

// The user owning the client's socket of `connection`, read from the kernel's socket tables
// (`procNet`/tcp and tcp6). Only a client on this machine is found there; nothing otherwise.
std::optional<uid_t> tcpPeerUid(const TcpConnection& connection,
                                const std::filesystem::path& procNet = "/proc/net");

}  // namespace sayloft::wendrel
