#include "service/wendrel_auth.hpp"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <fstream>

#include "core/json.hpp"
#include "core/text.hpp"
#include "service/http.hpp"
#include "service/models.hpp"
#include "service/wendrel_client.hpp"
#include "settings/settings.hpp"

namespace sayloft::service {

namespace {

constexpr core::Duration kPairingTimeout = core::seconds(60);

// A page we may hand to the browser: an absolute http or https URL.
bool isUsableWebURL(const std::string& text) {
    CURLU* url = curl_url();
    if (!url) return false;
    bool ok = false;
    if (curl_url_set(url, CURLUPART_URL, text.c_str(), 0) == CURLUE_OK) {
        char* scheme = nullptr;
        if (curl_url_get(url, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK) {
            ok = std::string(scheme) == "http" || std::string(scheme) == "https";
            curl_free(scheme);
        }
    }
    curl_url_cleanup(url);
    return ok;
}

// POSTs a JSON body to a pairing endpoint. These requests carry no credentials and no client
// headers. An answer outside 200-299 throws with "Wendrel returned HTTP <status>. <body start>".
std::string postPairing(const std::string& url, const core::Json& body, std::stop_token stop) {
    HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.headers = {{"Content-Type", "application/json"}};
    request.body = body.dump();
    request.timeout = kPairingTimeout;
    HttpResponse response = perform(request, stop);
    if (response.status && (*response.status < 200 || *response.status > 299)) {
        std::string head = isValidUtf8(response.body) ? utf8Prefix(response.body, 200) : "";
        throw PairingError(*response.status, "Wendrel returned HTTP " +
                                                 std::to_string(*response.status) + ". " + head);
    }
    return std::move(response.body);
}

std::string_view withoutTrailingSlashes(std::string_view url) {
    while (!url.empty() && url.back() == '/') url.remove_suffix(1);
    return url;
}

// Saves the service's base URL (or removes it, for the default) in the settings file, and reads
// the file back to be sure: a pairing must not end with the token and the address apart.
void saveBaseURL(settings::Settings& s, const std::optional<std::string>& url) {
    std::error_code ec;
    if (!s.loadedFromFile() && std::filesystem::exists(s.configPath(), ec))
        throw Error("The settings file " + s.configPath().string() +
                    " cannot be read, so the service address was not saved. Repair or remove "
                    "it, then pair again.");
    {
        auto guard = s.lock();
        s.settings().wendrelBaseURL = url;
    }
    s.save();
    settings::Settings check(s.configPath());
    if (!check.loadedFromFile() || check.wendrelBaseURL() != url)
        throw Error("Could not save the service address in " + s.configPath().string() + ".");
}

// Unquotes a machine-info value written in shell style ('x', "x", or bare with escapes).
std::string unquoteShellValue(std::string_view v) {
    std::string out;
    char quote = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        char c = v[i];
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
            else
                out += c;
        } else if (c == '\\' && i + 1 < v.size()) {
            out += v[++i];
        } else if (quote == '"' && c == '"') {
            quote = 0;
        } else if (!quote && (c == '"' || c == '\'')) {
            quote = c;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

PairingState PairingState::failed(std::string message, std::optional<long> httpStatus) {
    PairingState s;
    s.kind = Kind::failed;
    s.message = std::move(message);
    s.httpStatus = httpStatus;
    return s;
}

PairingState PairingState::connected(std::string tokenPrefix, std::vector<std::string> scopes) {
    PairingState s;
    s.kind = Kind::connected;
    s.tokenPrefix = std::move(tokenPrefix);
    s.scopes = std::move(scopes);
    return s;
}

std::string localComputerName(const std::filesystem::path& machineInfo) {
    std::ifstream in(machineInfo);
    std::string line;
    while (std::getline(in, line)) {
        constexpr std::string_view key = "PRETTY_HOSTNAME=";
        if (line.rfind(key, 0) != 0) continue;
        std::string pretty = unquoteShellValue(std::string_view(line).substr(key.size()));
        if (!pretty.empty()) return pretty;
    }
    char host[HOST_NAME_MAX + 1] = {0};
    if (::gethostname(host, sizeof host - 1) == 0 && host[0]) return host;
    return "Linux computer";
}

WendrelAuth::WendrelAuth(Keychain& keychain, platform::Opener& opener, core::Clock& clock,
                         std::function<std::string()> computerName)
    : keychain_(keychain), opener_(opener), clock_(clock), computerName_(std::move(computerName)) {}

WendrelAuth::~WendrelAuth() {
    stopTask();
}

void WendrelAuth::stopTask() {
    if (task_.joinable()) {
        task_.request_stop();
        task_.join();
    }
    task_ = std::jthread();
}

void WendrelAuth::setState(PairingState state) {
    std::lock_guard notify(notifyMutex_);
    std::function<void(const PairingState&)> observer;
    {
        std::lock_guard lock(mutex_);
        state_ = state;
        observer = observer_;
    }
    if (observer) observer(state);
}

PairingState WendrelAuth::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void WendrelAuth::setObserver(std::function<void(const PairingState&)> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

void WendrelAuth::setOnConnected(std::function<void()> onConnected) {
    std::lock_guard lock(mutex_);
    onConnected_ = std::move(onConnected);
}

void WendrelAuth::connect(const std::string& baseURL) {
    start(baseURL, nullptr);
}

void WendrelAuth::connectAndSave(const std::string& baseURL, settings::Settings& settings) {
    start(baseURL, &settings);
}

void WendrelAuth::start(const std::string& baseURL, settings::Settings* settings) {
    stopTask();
    setState(PairingState::idle());
    {
        std::lock_guard lock(mutex_);
        running_ = true;
    }
    task_ = std::jthread([this, baseURL, settings](std::stop_token stop) {
        runPairing(baseURL, settings, stop);
        std::lock_guard lock(mutex_);
        running_ = false;
        finished_.notify_all();
    });
}

void WendrelAuth::disconnect() {
    stopTask();
    keychain_.write(Keychain::kDeviceTokenAccount, std::nullopt);
    setState(PairingState::idle());
}

void WendrelAuth::cancel() {
    stopTask();
    refreshConnectedState();
}

void WendrelAuth::refreshConnectedState() {
    auto token = keychain_.deviceToken();
    if (token && !token->empty()) {
        setState(PairingState::connected(tokenPrefix(*token), {}));
    } else {
        setState(PairingState::idle());
    }
}

bool WendrelAuth::waitUntilFinished(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return finished_.wait_for(lock, limit, [&] { return !running_; });
}

void WendrelAuth::runPairing(std::string baseURL, settings::Settings* settings,
                             std::stop_token stop) {
    try {
        const core::Json initBody = {{"client_type", kClientType},
                                     {"name", computerName_() + " (sayloft)"},
                                     {"scopes", {"kb:read", "kb:write"}}};
        const InitResponse init =
            decodeInitResponse(postPairing(joinURL(baseURL, "auth/devices/init"), initBody, stop));
        if (!isUsableWebURL(init.verification_url)) {
            setState(PairingState::failed(pairing_text::kUnusableURL));
            return;
        }
        PairingState pairing;
        pairing.kind = PairingState::Kind::pairing;
        pairing.userCode = init.user_code;
        pairing.verificationURL = init.verification_url;
        pairing.expiresAt = clock_.now() + std::chrono::seconds(init.expires_in);
        setState(pairing);
        opener_.openURL(init.verification_url);

        const auto interval = std::chrono::seconds(std::max<int64_t>(init.interval, 1));
        const core::Json tokenBody = {{"device_code", init.device_code}};
        for (;;) {
            if (stop.stop_requested()) return;
            if (!clock_.sleepFor(interval, stop) || stop.stop_requested()) return;
            if (clock_.now() >= pairing.expiresAt) {
                setState(PairingState::failed(pairing_text::kExpired));
                return;
            }
            const PollResponse poll = decodePollResponse(
                postPairing(joinURL(baseURL, "auth/devices/token"), tokenBody, stop));
            if (poll.status == "authorization_pending") continue;
            if (poll.status == "approved") {
                if (!poll.token || poll.token->empty()) {
                    setState(PairingState::failed(pairing_text::kNoToken));
                    return;
                }
                // Another service's token goes, then the address changes, then the new token is
                // stored: no request ever pairs a token with the wrong service's address.
                bool addressSaved = false;
                if (settings &&
                    resolveBaseURL(settings->wendrelBaseURL().value_or("")).url != baseURL) {
                    if (!keychain_.write(Keychain::kDeviceTokenAccount, std::nullopt)) {
                        setState(PairingState::failed(pairing_text::kSaveFailed));
                        return;
                    }
                    saveBaseURL(*settings, baseURL);
                    addressSaved = true;
                }
                if (!keychain_.write(Keychain::kDeviceTokenAccount, *poll.token)) {
                    setState(PairingState::failed(pairing_text::kSaveFailed));
                } else {
                    PairingState connected = PairingState::connected(
                        tokenPrefix(*poll.token), poll.scopes.value_or(std::vector<std::string>{}));
                    if (addressSaved) connected.savedBaseURL = baseURL;
                    setState(connected);
                    std::function<void()> onConnected;
                    {
                        std::lock_guard lock(mutex_);
                        onConnected = onConnected_;
                    }
                    if (onConnected) onConnected();
                }
            } else if (poll.status == "denied") {
                setState(PairingState::failed(pairing_text::kDenied));
            } else if (poll.status == "expired") {
                setState(PairingState::failed(pairing_text::kExpired));
            } else {
                setState(PairingState::failed(pairing_text::kUnexpectedStatus + poll.status));
            }
            return;
        }
    } catch (const Cancelled&) {
    } catch (const PairingError& e) {
        if (!stop.stop_requested()) setState(PairingState::failed(e.what(), e.status()));
    } catch (const std::exception& e) {
        if (!stop.stop_requested()) setState(PairingState::failed(e.what()));
    }
}

std::string pairingBaseURL(const std::optional<std::string>& given, const settings::Settings& s) {
    if (!given) return resolveBaseURL(s.wendrelBaseURL().value_or("")).url;
    std::string url(core::trimWhitespace(*given));
    if (!isUsableWebURL(url))
        throw Error("Not a usable service address: \"" + *given +
                    "\" (expected an http:// or https:// URL such as "
                    "https://wendrel.example/api/v1).");
    return url;
}

void unpair(Keychain& keychain, const settings::Settings& s,
            const std::optional<std::string>& given) {
    if (given) {
        const std::string inUse = resolveBaseURL(s.wendrelBaseURL().value_or("")).url;
        if (withoutTrailingSlashes(core::trimWhitespace(*given)) != withoutTrailingSlashes(inUse))
            throw Error("This computer is paired with " + inUse + ", not " +
                        std::string(core::trimWhitespace(*given)) +
                        "; nothing was removed. Run `sayloft unpair` without --base-url to "
                        "forget the device token of " +
                        inUse + ".");
    }
    if (!keychain.write(Keychain::kDeviceTokenAccount, std::nullopt))
        throw Error("Could not remove the device token from the secret store (see the log).");
}

}  // namespace sayloft::service
