#include "service/http.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

namespace sayloft::service {

namespace {

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
    std::string received;
    std::stop_token stop;
};

size_t onData(char* data, size_t size, size_t count, void* user) {
    static_cast<Transfer*>(user)->received.append(data, size * count);
    return size * count;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(user)->stop.stop_requested() ? 1 : 0;
}

// The body of a streamed request: prefix, file, suffix, read as curl asks for it.
struct StreamedBody {
    std::string_view prefix;
    int fd = -1;
    std::string_view suffix;
    size_t at = 0;  // position in prefix, then in suffix
    bool inFile = false, inSuffix = false;
    bool failed = false;
};

size_t readBody(char* buffer, size_t size, size_t count, void* user) {
    auto* b = static_cast<StreamedBody*>(user);
    const size_t room = size * count;
    if (!b->inFile && !b->inSuffix) {
        size_t n = std::min(room, b->prefix.size() - b->at);
        std::memcpy(buffer, b->prefix.data() + b->at, n);
        b->at += n;
        if (b->at == b->prefix.size()) b->inFile = true, b->at = 0;
        if (n > 0) return n;
    }
    if (b->inFile) {
        for (;;) {
            ssize_t n = ::read(b->fd, buffer, room);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                b->failed = true;
                return CURL_READFUNC_ABORT;
            }
            if (n > 0) return size_t(n);
            break;
        }
        b->inFile = false, b->inSuffix = true;
    }
    size_t n = std::min(room, b->suffix.size() - b->at);
    std::memcpy(buffer, b->suffix.data() + b->at, n);
    b->at += n;
    return n;
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

HttpResponse perform(const HttpRequest& request, std::stop_token stop) {
    globalInit();
    if (stop.stop_requested()) throw Cancelled();
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy) throw TransportError(CURLE_FAILED_INIT, curl_easy_strerror(CURLE_FAILED_INIT));
    CURL* h = easy.get();

    Transfer transfer{{}, stop};
    StreamedBody streamed;
    struct CloseFile {
        StreamedBody& b;
        ~CloseFile() {
            if (b.fd >= 0) ::close(b.fd);
        }
    } closeFile{streamed};
    char errorText[CURL_ERROR_SIZE] = {0};

    std::unique_ptr<curl_slist, ListDeleter> headers;
    auto addHeader = [&](const std::string& line) {
        curl_slist* next = curl_slist_append(headers.get(), line.c_str());
        if (!next)
            throw TransportError(CURLE_OUT_OF_MEMORY, curl_easy_strerror(CURLE_OUT_OF_MEMORY));
        headers.release();
        headers.reset(next);
    };
    for (const auto& [name, value] : request.headers) addHeader(name + ": " + value);

    curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    // A redirect never downgrades an https exchange (and its bearer token) to plain http.
    const bool secure = request.url.rfind("https:", 0) == 0 || request.url.rfind("HTTPS:", 0) == 0;
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(
        h, CURLOPT_TIMEOUT_MS,
        long(std::chrono::duration_cast<std::chrono::milliseconds>(request.timeout).count()));
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onData);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
    if (request.method == "GET") {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else {
        if (request.method != "POST")
            curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        if (request.bodyFile) {
            int fd = ::open(request.bodyFile->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            struct stat st {};
            if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
                if (fd >= 0) ::close(fd);
                throw TransportError(CURLE_READ_ERROR, "cannot read " + request.bodyFile->string());
            }
            streamed.fd = fd;
            streamed.prefix = request.body;
            streamed.suffix = request.bodySuffix;
            curl_easy_setopt(h, CURLOPT_READFUNCTION, readBody);
            curl_easy_setopt(h, CURLOPT_READDATA, &streamed);
            curl_easy_setopt(
                h, CURLOPT_POSTFIELDSIZE_LARGE,
                curl_off_t(request.body.size() + size_t(st.st_size) + request.bodySuffix.size()));
        } else {
            curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
            curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body.size()));
        }
        addHeader("Expect:");  // send the body at once, no 100-continue round trip
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

    CURLcode code = curl_easy_perform(h);
    if (code == CURLE_ABORTED_BY_CALLBACK && stop.stop_requested()) throw Cancelled();
    if (code != CURLE_OK) {
        std::string text = errorText[0] ? errorText : curl_easy_strerror(code);
        throw TransportError(code, text);
    }
    HttpResponse response;
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status > 0) response.status = status;
    response.body = std::move(transfer.received);
    return response;
}

std::string urlEscape(std::string_view text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

namespace {

// A parsed URL; empty when the text does not parse.
struct ParsedURL {
    explicit ParsedURL(std::string_view text) : handle(curl_url()) {
        if (handle && curl_url_set(handle, CURLUPART_URL, std::string(text).c_str(),
                                   CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
            curl_url_cleanup(handle);
            handle = nullptr;
        }
    }
    ~ParsedURL() {
        if (handle) curl_url_cleanup(handle);
    }
    ParsedURL(const ParsedURL&) = delete;
    ParsedURL& operator=(const ParsedURL&) = delete;

    std::optional<std::string> get(CURLUPart part) const {
        char* value = nullptr;
        if (!handle || curl_url_get(handle, part, &value, 0) != CURLUE_OK) return std::nullopt;
        std::string out(value);
        curl_free(value);
        return out;
    }
    bool set(CURLUPart part, const std::string& value, unsigned flags = 0) {
        return handle && curl_url_set(handle, part, value.c_str(), flags) == CURLUE_OK;
    }

    CURLU* handle;
};

std::string lowercase(std::string text) {
    for (auto& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::string joinURL(std::string_view base, std::string_view path) {
    ParsedURL url(base);
    if (auto basePath = url.get(CURLUPART_PATH)) {
        std::string joined = *basePath;
        while (!joined.empty() && joined.back() == '/') joined.pop_back();
        joined += '/';
        joined += path;
        if (url.set(CURLUPART_PATH, joined)) {
            if (auto out = url.get(CURLUPART_URL)) return *out;
        }
    }
    // Not a URL we can take apart: append as text.
    std::string out(base);
    while (!out.empty() && out.back() == '/') out.pop_back();
    out += '/';
    out += path;
    return out;
}

std::string appendQuery(std::string_view url,
                        const std::vector<std::pair<std::string, std::string>>& items) {
    std::string out(url);
    ParsedURL parsed(url);
    const bool hasQuery = parsed.get(CURLUPART_QUERY).has_value() ||
                          (!parsed.handle && out.find('?') != std::string::npos);
    char separator = hasQuery ? '&' : '?';
    // The query goes before any fragment.
    std::string fragment;
    if (auto hash = out.find('#'); hash != std::string::npos) {
        fragment = out.substr(hash);
        out.erase(hash);
    }
    for (const auto& [name, value] : items) {
        out += separator;
        out += urlEscape(name) + "=" + urlEscape(value);
        separator = '&';
    }
    return out + fragment;
}

bool isLoopbackURL(std::string_view text) {
    ParsedURL url(text);
    auto host = url.get(CURLUPART_HOST);
    if (!host) return false;
    std::string h = lowercase(*host);
    if (h == "localhost" || h == "[::1]") return true;
    // 127.0.0.0/8 in dotted-quad form (curl has normalised other IPv4 spellings).
    if (h.rfind("127.", 0) != 0) return false;
    int dots = 0;
    for (char c : h) {
        if (c == '.') {
            ++dots;
        } else if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return dots == 3;
}

bool isPlainHttpURL(std::string_view text) {
    ParsedURL url(text);
    auto scheme = url.get(CURLUPART_SCHEME);
    return scheme && lowercase(*scheme) == "http";
}

}  // namespace sayloft::service
