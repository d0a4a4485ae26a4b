#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.hpp"
#include "service/client_error.hpp"
#include "service/http.hpp"
#include "service/keychain.hpp"
#include "service/models.hpp"
#include "service/upload_gate.hpp"

namespace sayloft::service {

// The client type every request names ("X-Client-Type", and the pairing request's client_type).
inline constexpr const char* kClientType = "sayloft-mac";

// The service's public API root.
inline constexpr const char* kDefaultBaseURL = "https://api.wendrel.app/api/v1";

// The service's API root and where it came from.
struct BaseURL {
    std::string url;
    // The user saved it in the settings (by hand, or by pairing with `sayloft pair --base-url`).
    bool saved = false;

    operator const std::string&() const { return url; }
    friend bool operator==(const BaseURL& a, std::string_view b) { return a.url == b; }
};

// The base URL to use: the setting trimmed of spaces when it is non-empty and parses as a URL
// (marked as saved), otherwise the built-in default.
BaseURL resolveBaseURL(std::string_view setting);

// Thrown instead of sending the device token over plain http to another computer when the user
// has not saved that address (see WendrelClient).
class InsecureDestination : public Error {
  public:
    explicit InsecureDestination(const std::string& url);
};

// The multipart type of an audio file, chosen on its lower-cased extension.
std::string mimeTypeForAudio(const std::filesystem::path& file);

// A fresh random UUID in its canonical upper-case text form.
std::string makeUuid();

// One part of an upload's form, in the order given.
struct FormField {
    std::string name;
    std::string value;
};

// The whole multipart/form-data body: the fields, then the file part, then the closing delimiter.
std::string buildMultipartBody(const std::string& boundary, const std::vector<FormField>& fields,
                               const std::string& fileName, const std::string& mimeType,
                               std::string_view fileBytes);

// Talks to the transcription service's REST API on behalf of a paired device. Every request
// carries the device token and the client headers; failures throw ClientError, or the HTTP
// stack's TransportError unchanged.
//
// The token travels over https, or over plain http to this computer (loopback). Plain http to
// another host is used only with a base URL the user saved (resolveBaseURL of the setting);
// otherwise requests throw InsecureDestination before anything is sent. Redirects never carry
// the token to another host, nor from https to http. The client holds no mutable state, so one
// instance may be used from several threads at once; uploads still go out one at a time through the
// gate.
class WendrelClient {
  public:
    static constexpr core::Duration kRequestTimeout = core::seconds(60);
    static constexpr core::Duration kUploadTimeout = core::seconds(900);
    static constexpr core::Duration kTaskPollInterval = core::seconds(5);
    static constexpr int kMaxListPages = 200;

    WendrelClient(BaseURL baseURL, Keychain& keychain, core::Clock& clock = core::systemClock(),
                  UploadGate& gate = uploadGate());
    // A base URL that was not saved by the user.
    WendrelClient(std::string baseURL, Keychain& keychain, core::Clock& clock = core::systemClock(),
                  UploadGate& gate = uploadGate());

    const std::string& baseURL() const { return baseURL_; }
    // Throws InsecureDestination when the token may not go to `url`.
    void checkTokenDestination(const std::string& url) const;

    UploadResult uploadAudio(const std::filesystem::path& fileURL, const std::string& contentSource,
                             const std::optional<std::string>& language = std::nullopt,
                             const std::vector<std::string>& tags = {},
                             const std::map<std::string, std::string>& sourceMetadata = {},
                             std::stop_token stop = {});

    // Polls the upload task every 5 s of clock time until it names the recording's key or the
    // time-out passes. Never throws; a stop request ends it with nothing.
    std::optional<std::string> cacheKey(const std::string& taskId, core::Duration timeout,
                                        std::stop_token stop = {});

    PipelineStatus status(const std::string& cacheKey, std::stop_token stop = {});
    SourceDetail source(const std::string& cacheKey, std::stop_token stop = {});
    std::vector<SourceMetadata> listAllSources(bool includeDeleted = false,
                                               std::stop_token stop = {});

    // The key of the newest usable recording uploaded under `uploadedFilename` other than
    // `excluding`, searching at most `maxPages` pages. Never throws.
    std::optional<std::string> currentKey(const std::string& uploadedFilename,
                                          const std::optional<std::string>& excluding, int maxPages,
                                          std::stop_token stop = {});

    // Decides an answer: accepted, or the matching ClientError.
    static void checkOK(const HttpResponse& response);

  private:
    std::vector<std::pair<std::string, std::string>> headers(const std::string& authorization,
                                                             const char* contentType) const;
    HttpResponse get(const std::string& url, std::stop_token stop);
    std::string listURL(bool includeDeleted, const std::optional<std::string>& cursor) const;

    std::string baseURL_;
    bool baseURLSaved_;
    Keychain& keychain_;
    core::Clock& clock_;
    UploadGate& gate_;
};

}  // namespace sayloft::service
