#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.hpp"
#include "platform/opener.hpp"
#include "service/keychain.hpp"

namespace sayloft::service {

// Where pairing stands. Fields beyond `kind` belong to the kind named in their comment.
struct PairingState {
    enum class Kind { idle, pairing, connected, failed };
    Kind kind = Kind::idle;
    std::string userCode;             // pairing: the code to compare with the web page's
    std::string verificationURL;      // pairing: the page that was opened
    core::TimePoint expiresAt{};      // pairing: when the code lapses
    std::string tokenPrefix;          // connected: the token's first 12 characters
    std::vector<std::string> scopes;  // connected: granted scopes (empty when unknown)
    std::string message;              // failed: the user-readable reason

    static PairingState idle() { return {}; }
    static PairingState failed(std::string message);
    static PairingState connected(std::string tokenPrefix, std::vector<std::string> scopes);
};

// The texts pairing can end with.
namespace pairing_text {
inline constexpr const char* kUnusableURL = "Wendrel returned an unusable verification URL.";
inline constexpr const char* kExpired = "Pairing expired. Click Connect to try again.";
inline constexpr const char* kSaveFailed =
    "Could not save the token to the Keychain. Pairing must be repeated.";
inline constexpr const char* kNoToken = "Wendrel approved the pairing but returned no token.";
inline constexpr const char* kDenied = "Pairing was denied in the browser.";
inline constexpr const char* kUnexpectedStatus = "Unexpected pairing status: ";
}  // namespace pairing_text

// The computer's name for the service's device list: the pretty host name from machine-info
// when one is set, else the host name, else "Mac".
std::string localComputerName(const std::filesystem::path& machineInfo = "/etc/machine-info");

// Pairs this computer with a service account by the device-code flow: asks for a code, opens the
// verification page, polls until the user approves, and keeps the device token in the Keychain.
// The flow runs on its own thread; observers are called on the thread that changed the state
// and must not call connect/disconnect/cancel from inside the callback.
class WendrelAuth {
  public:
    WendrelAuth(
        Keychain& keychain, platform::Opener& opener, core::Clock& clock = core::systemClock(),
        std::function<std::string()> computerName = [] { return localComputerName(); });
    ~WendrelAuth();
    WendrelAuth(const WendrelAuth&) = delete;
    WendrelAuth& operator=(const WendrelAuth&) = delete;

    // Starts (or restarts) pairing against the API base URL.
    void connect(const std::string& baseURL);
    // Stops any pairing, deletes the token and becomes idle.
    void disconnect();
    // Stops any pairing and keeps whatever token is stored; the state follows the Keychain.
    void cancel();
    // Derives the state from the Keychain.
    void refreshConnectedState();

    PairingState state() const;
    void setObserver(std::function<void(const PairingState&)> observer);
    // Called after a successful pairing (the capture pipeline resumes its unfinished captures).
    void setOnConnected(std::function<void()> onConnected);

    // Waits in real time until no pairing runs; false when `limit` passed first.
    bool waitUntilFinished(std::chrono::milliseconds limit);

  private:
    void stopTask();
    void setState(PairingState state);
    void runPairing(std::string baseURL, std::stop_token stop);

    Keychain& keychain_;
    platform::Opener& opener_;
    core::Clock& clock_;
    std::function<std::string()> computerName_;

    mutable std::mutex mutex_;
    std::condition_variable finished_;
    PairingState state_;
    bool running_ = false;
    std::function<void(const PairingState&)> observer_;
    std::function<void()> onConnected_;
    std::mutex notifyMutex_;  // keeps observer calls in the order the states were set
    std::jthread task_;
};

}  // namespace sayloft::service
