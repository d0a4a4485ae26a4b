#include "service/wendrel_client.hpp"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "core/files.hpp"
#include "core/json.hpp"
#include "sayloft/version.hpp"

namespace sayloft::service {

namespace {

constexpr const char* kClientPlatform = "macos_menubar";

std::string clientVersion() {
    std::string version = kVersion;
    return version.empty() ? "0.0.0" : version;
}

std::string trimSpaces(std::string_view text) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return std::string(text);
}

bool parsesAsURL(const std::string& text) {
    CURLU* url = curl_url();
    if (!url) return false;
    CURLUcode rc = curl_url_set(url, CURLUPART_URL, text.c_str(), 0);
    curl_url_cleanup(url);
    return rc == CURLUE_OK;
}

// The body as text for an error: the bytes as UTF-8, or "<binary>" when they are not.
std::string bodyText(std::string_view body) {
    return isValidUtf8(body) ? std::string(body) : "<binary>";
}

template <class Decode>
auto decodeOrThrow(const std::string& body, const char* what, Decode decode) {
    try {
        return decode(body);
    } catch (const DecodeError& e) {
        throw ClientError::malformedResponse(std::string(what) + ": " + e.what());
    }
}

}  // namespace

BaseURL resolveBaseURL(std::string_view setting) {
    std::string trimmed = trimSpaces(setting);
    if (!trimmed.empty() && parsesAsURL(trimmed)) return {trimmed, true};
    return {kDefaultBaseURL, false};
}

InsecureDestination::InsecureDestination(const std::string& url)
    : Error("Not sending the device token over plain http to " + url +
            ": use an https address, or save this one on purpose with `sayloft pair --base-url " +
            "<address>` or `sayloft settings set wendrelBaseURL <address>`.") {}

std::string mimeTypeForAudio(const std::filesystem::path& file) {
    std::string ext = file.extension().string();
    if (!ext.empty()) ext.erase(0, 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (ext == "m4a") return "audio/mp4";
    if (ext == "mp3") return "audio/mpeg";
    if (ext == "wav") return "audio/wav";
    if (ext == "aiff" || ext == "aif") return "audio/aiff";
    if (ext == "caf") return "audio/x-caf";
    return "application/octet-stream";
}

std::string makeUuid() {
    static thread_local std::mt19937_64 engine = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    unsigned char bytes[16];
    for (int i = 0; i < 16; i += 8) {
        uint64_t r = engine();
        for (int k = 0; k < 8; ++k) bytes[i + k] = static_cast<unsigned char>(r >> (8 * k));
    }
    bytes[6] = (bytes[6] & 0x0F) | 0x40;  // version 4
    bytes[8] = (bytes[8] & 0x3F) | 0x80;  // RFC 4122 variant
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += hex[bytes[i] >> 4];
        out += hex[bytes[i] & 15];
    }
    return out;
}

std::string buildMultipartBody(const std::string& boundary, const std::vector<FormField>& fields,
                               const std::string& fileName, const std::string& mimeType,
                               std::string_view fileBytes) {
    std::string body;
    body.reserve(fileBytes.size() + 512);
    for (const auto& field : fields) {
        body += "--" + boundary + "\r\n";
        body += "Content-Disposition: form-data; name=\"" + field.name + "\"\r\n\r\n";
        body += field.value + "\r\n";
    }
    body += "--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"file\"; filename=\"" + fileName + "\"\r\n";
    body += "Content-Type: " + mimeType + "\r\n\r\n";
    body.append(fileBytes);
    body += "\r\n";
    body += "--" + boundary + "--\r\n";
    return body;
}

WendrelClient::WendrelClient(BaseURL baseURL, Keychain& keychain, core::Clock& clock,
                             UploadGate& gate)
    : baseURL_(std::move(baseURL.url)),
      baseURLSaved_(baseURL.saved),
      keychain_(keychain),
      clock_(clock),
      gate_(gate) {}

WendrelClient::WendrelClient(std::string baseURL, Keychain& keychain, core::Clock& clock,
                             UploadGate& gate)
    : WendrelClient(BaseURL{std::move(baseURL), false}, keychain, clock, gate) {}

void WendrelClient::checkTokenDestination(const std::string& url) const {
    if (!isPlainHttpURL(url) || isLoopbackURL(url)) return;
    if (baseURLSaved_) return;
    throw InsecureDestination(url);
}

void WendrelClient::checkOK(const HttpResponse& response) {
    if (!response.status) throw ClientError::malformedResponse("no HTTP response");
    const long status = *response.status;
    if (status == 402) {
        PlanRequiredBody plan;
        try {
            plan = decodePlanRequired(response.body);
        } catch (const DecodeError&) {
        }
        throw ClientError::planRequired(plan.plan, plan.message);
    }
    if (status >= 200 && status <= 299) return;
    throw ClientError::requestFailed(status, bodyText(response.body));
}

std::vector<std::pair<std::string, std::string>> WendrelClient::headers(
    const std::string& authorization, const char* contentType) const {
    std::vector<std::pair<std::string, std::string>> out;
    out.emplace_back("Authorization", authorization);
    if (contentType) out.emplace_back("Content-Type", contentType);
    out.emplace_back("X-Client-Type", kClientType);
    out.emplace_back("X-Client-Version", clientVersion());
    out.emplace_back("X-Client-Platform", kClientPlatform);
    return out;
}

HttpResponse WendrelClient::get(const std::string& url, std::stop_token stop) {
    auto authorization = keychain_.authorizationHeader();
    if (!authorization) throw ClientError::missingCredentials();
    checkTokenDestination(url);
    HttpRequest request;
    request.method = "GET";
    request.url = url;
    request.headers = headers(*authorization, nullptr);
    request.timeout = kRequestTimeout;
    HttpResponse response = perform(request, stop);
    checkOK(response);
    return response;
}

UploadResult WendrelClient::uploadAudio(const std::filesystem::path& fileURL,
                                        const std::string& contentSource,
                                        const std::optional<std::string>& language,
                                        const std::vector<std::string>& tags,
                                        const std::map<std::string, std::string>& sourceMetadata,
                                        std::stop_token stop) {
    auto authorization = keychain_.authorizationHeader();
    if (!authorization) throw ClientError::missingCredentials();
    checkTokenDestination(baseURL_);
    if (::access(fileURL.c_str(), R_OK) != 0 || std::filesystem::is_directory(fileURL))
        throw ClientError::audioFileNotReadable(fileURL);

    const std::string boundary = "----SayloftBoundary" + makeUuid();
    std::vector<FormField> fields{{"content_source", contentSource}};
    if (language) fields.push_back({"language", *language});
    if (!tags.empty()) {
        std::string joined;
        for (const auto& tag : tags) joined += (joined.empty() ? "" : ",") + tag;
        fields.push_back({"tags", joined});
    }
    if (!sourceMetadata.empty()) {
        try {
            fields.push_back({"content_source_metadata", core::Json(sourceMetadata).dump()});
        } catch (const core::Json::exception&) {
            // Not representable as JSON (invalid UTF-8): the part is left out.
        }
    }
    HttpRequest request;
    request.method = "POST";
    request.url = joinURL(baseURL_, "sources");
    request.headers =
        headers(*authorization, ("multipart/form-data; boundary=" + boundary).c_str());
    // The audio is streamed from its file between the two halves of the form: memory stays
    // flat with the recording's size.
    const std::string marker = "\x01";
    std::string whole = buildMultipartBody(boundary, fields, fileURL.filename().string(),
                                           mimeTypeForAudio(fileURL), marker);
    auto at = whole.rfind(marker);
    request.body = whole.substr(0, at);
    request.bodySuffix = whole.substr(at + marker.size());
    request.bodyFile = fileURL;
    request.timeout = kUploadTimeout;

    // Only the exchange and the decoding run inside the gate.
    UploadGate::Pass pass = gate_.acquire(stop);
    HttpResponse response = perform(request, stop);
    checkOK(response);
    try {
        return decodeUploadResult(response.body);
    } catch (const DecodeError& e) {
        std::string_view head(response.body);
        head = head.substr(0, 300);
        throw ClientError::malformedResponse(std::string("upload: ") + e.what() +
                                             " -- body: " + bodyText(head));
    }
}

std::optional<std::string> WendrelClient::cacheKey(const std::string& taskId,
                                                   core::Duration timeout, std::stop_token stop) {
    const core::TimePoint deadline = clock_.now() + timeout;
    while (clock_.now() < deadline) {
        try {
            HttpResponse response =
                get(joinURL(baseURL_, "sources/tasks/" + urlEscape(taskId)), stop);
            TaskStatus task = decodeTaskStatus(response.body);
            auto key = task.cache_key ? task.cache_key : task.result_cache_key;
            if (key && !key->empty()) return key;
        } catch (const Cancelled&) {
            return std::nullopt;
        } catch (const std::exception&) {
            // Any failure: try again after the pause.
        }
        if (!clock_.sleepFor(kTaskPollInterval, stop)) return std::nullopt;
    }
    return std::nullopt;
}

PipelineStatus WendrelClient::status(const std::string& cacheKey, std::stop_token stop) {
    HttpResponse response =
        get(joinURL(baseURL_, "sources/" + urlEscape(cacheKey) + "/status"), stop);
    return decodeOrThrow(response.body, "status", decodePipelineStatus);
}

SourceDetail WendrelClient::source(const std::string& cacheKey, std::stop_token stop) {
    HttpResponse response = get(joinURL(baseURL_, "sources/" + urlEscape(cacheKey)), stop);
    return decodeOrThrow(response.body, "source", decodeSourceDetail);
}

std::string WendrelClient::listURL(bool includeDeleted,
                                   const std::optional<std::string>& cursor) const {
    std::vector<std::pair<std::string, std::string>> query{{"limit", "100"}};
    if (includeDeleted) query.emplace_back("include_deleted", "true");
    if (cursor) query.emplace_back("before", *cursor);
    return appendQuery(joinURL(baseURL_, "sources"), query);
}

std::vector<SourceMetadata> WendrelClient::listAllSources(bool includeDeleted,
                                                          std::stop_token stop) {
    std::vector<SourceMetadata> all;
    std::optional<std::string> cursor;
    for (int page = 1;; ++page) {
        std::string url = listURL(includeDeleted, cursor);
        if (!parsesAsURL(url)) throw ClientError::malformedResponse("list: could not build URL");
        HttpResponse response = get(url, stop);
        SourceListResponse list = decodeOrThrow(response.body, "list", decodeSourceList);
        std::move(list.files.begin(), list.files.end(), std::back_inserter(all));
        cursor = list.has_more ? list.next_cursor : std::nullopt;
        if (!cursor) return all;
        if (page >= kMaxListPages)
            throw ClientError::malformedResponse("list: pagination exceeded 200 pages");
    }
}

std::optional<std::string> WendrelClient::currentKey(const std::string& uploadedFilename,
                                                     const std::optional<std::string>& excluding,
                                                     int maxPages, std::stop_token stop) {
    try {
        std::optional<std::string> cursor;
        for (int page = 1; page <= maxPages; ++page) {
            HttpResponse response = get(listURL(false, cursor), stop);
            SourceListResponse list = decodeSourceList(response.body);
            for (const auto& file : list.files) {
                if (file.original_filename != uploadedFilename) continue;
                if (file.status) {
                    std::string status = *file.status;
                    std::transform(status.begin(), status.end(), status.begin(),
                                   [](unsigned char c) { return char(std::tolower(c)); });
                    if (status == "failed" || status == "error") continue;
                }
                if (file.is_deleted == true || file.cache_key.empty()) continue;
                if (excluding && file.cache_key == *excluding) continue;
                return file.cache_key;
            }
            cursor = list.has_more ? list.next_cursor : std::nullopt;
            if (!cursor) return std::nullopt;
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

}  // namespace sayloft::service
