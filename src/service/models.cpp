#include "service/models.hpp"

#include <fmt/format.h>

#include "core/json.hpp"

namespace sayloft::service {

namespace {

using core::Json;

// Reads one JSON object's keys with the rules of this module: required keys must be present and
// non-null; optional keys may be missing or null; a present key must have the expected type.
class Reader {
  public:
    Reader(const Json& object, std::string path) : object_(object), path_(std::move(path)) {
        if (!object_.is_object())
            throw DecodeError(fmt::format("{} is not a JSON object", where()));
    }

    static Json parse(const std::string& body) {
        Json json = Json::parse(body, nullptr, false);
        if (json.is_discarded()) throw DecodeError("the body is not valid JSON");
        return json;
    }

    template <class T>
    T required(const char* key) const {
        auto value = optional<T>(key);
        if (!value) throw DecodeError(fmt::format("missing key \"{}\"{}", key, in()));
        return std::move(*value);
    }

    template <class T>
    std::optional<T> optional(const char* key) const {
        auto it = object_.find(key);
        if (it == object_.end() || it->is_null()) return std::nullopt;
        if (!hasType<T>(*it))
            throw DecodeError(fmt::format("key \"{}\"{} is not {}", key, in(), typeName<T>()));
        return it->template get<T>();
    }

    // A nested object, or nothing when missing or null.
    std::optional<Reader> child(const char* key) const {
        auto it = object_.find(key);
        if (it == object_.end() || it->is_null()) return std::nullopt;
        return Reader(*it, path_.empty() ? key : path_ + "." + key);
    }

    const Json& json() const { return object_; }

  private:
    template <class T>
    static bool hasType(const Json& v) {
        if constexpr (std::is_same_v<T, std::string>)
            return v.is_string();
        else if constexpr (std::is_same_v<T, bool>)
            return v.is_boolean();
        else if constexpr (std::is_same_v<T, int64_t>)
            return v.is_number_integer();
        else if constexpr (std::is_same_v<T, double>)
            return v.is_number();
        else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
            if (!v.is_array()) return false;
            for (const auto& e : v)
                if (!e.is_string()) return false;
            return true;
        }
    }
    template <class T>
    static const char* typeName() {
        if constexpr (std::is_same_v<T, std::string>)
            return "a string";
        else if constexpr (std::is_same_v<T, bool>)
            return "a boolean";
        else if constexpr (std::is_same_v<T, int64_t>)
            return "an integer";
        else if constexpr (std::is_same_v<T, double>)
            return "a number";
        else
            return "an array of strings";
    }
    std::string where() const { return path_.empty() ? "the body" : "\"" + path_ + "\""; }
    std::string in() const { return path_.empty() ? "" : " in \"" + path_ + "\""; }

    const Json& object_;
    std::string path_;
};

template <class F>
auto decodeBody(const std::string& body, F&& read) {
    Json json = Reader::parse(body);
    return read(Reader(json, ""));
}

TranscriptionStage readStage(const Reader& r) {
    return {r.optional<std::string>("status"), r.optional<std::string>("model"),
            r.optional<double>("duration"), r.optional<int64_t>("word_count")};
}

SourceMetadata readMetadata(const Reader& r) {
    SourceMetadata m;
    m.cache_key = r.required<std::string>("cache_key");
    m.timestamp = r.optional<double>("timestamp");
    m.created_at = r.optional<double>("created_at");
    m.llm_title = r.optional<std::string>("llm_title");
    m.llm_summary = r.optional<std::string>("llm_summary");
    m.status = r.optional<std::string>("status");
    m.model = r.optional<std::string>("model");
    m.duration = r.optional<double>("duration");
    m.is_deleted = r.optional<bool>("is_deleted");
    m.original_filename = r.optional<std::string>("original_filename");
    return m;
}

}  // namespace

UploadResult decodeUploadResult(const std::string& body) {
    return decodeBody(body, [](const Reader& r) {
        return UploadResult{r.required<std::string>("status"), r.optional<std::string>("task_id"),
                            r.optional<std::string>("cache_key"),
                            r.optional<std::string>("message"), r.optional<std::string>("title")};
    });
}

TaskStatus decodeTaskStatus(const std::string& body) {
    return decodeBody(body, [](const Reader& r) {
        TaskStatus t{r.optional<std::string>("status"), r.optional<std::string>("cache_key"), {}};
        if (auto result = r.child("result"))
            t.result_cache_key = result->optional<std::string>("cache_key");
        return t;
    });
}

PipelineStatus decodePipelineStatus(const std::string& body) {
    return decodeBody(body, [](const Reader& r) {
        PipelineStatus s;
        if (auto status = r.child("status")) {
            if (auto stage = status->child("transcription")) s.transcription = readStage(*stage);
        }
        return s;
    });
}

SourceDetail decodeSourceDetail(const std::string& body) {
    return decodeBody(body, [](const Reader& r) {
        SourceDetail d;
        d.success = r.required<bool>("success");
        auto result = r.child("result");
        if (!result) throw DecodeError("missing key \"result\"");
        ResultBlock& b = d.result;
        b.text = result->optional<std::string>("text");
        b.original_filename = result->optional<std::string>("original_filename");
        b.language = result->optional<std::string>("language");
        b.duration = result->optional<double>("duration");
        b.word_count = result->optional<int64_t>("word_count");
        b.model = result->optional<std::string>("model");
        b.llm_title = result->optional<std::string>("llm_title");
        b.llm_summary = result->optional<std::string>("llm_summary");
        b.status = result->optional<std::string>("status");
        d.cache_key = r.required<std::string>("cache_key");
        return d;
    });
}

SourceListResponse decodeSourceList(const std::string& body) {
    return decodeBody(body, [](const Reader& r) {
        SourceListResponse page;
        auto files = r.json().find("files");
        if (files == r.json().end() || files->is_null()) throw DecodeError("missing key \"files\"");
        if (!files->is_array()) throw DecodeError("key \"files\" is not an array");
        for (size_t i = 0; i < files->size(); ++i)
            page.files.push_back(readMetadata(Reader((*files)[i], fmt::format("files[{}]", i))));
        page.count = r.required<int64_t>("count");
        page.has_more = r.required<bool>("has_more");
        page.next_cursor = r.optional<std::string>("next_cursor");
        return page;
    });
}

PlanRequiredBody decodePlanRequired(const std::string& body) {
    return decodeBody(body, [](const Reader& r) {
        return PlanRequiredBody{r.optional<std::string>("error"), r.optional<std::string>("plan"),
                                r.optional<std::string>("message")};
    });
}

InitResponse decodeInitResponse(const std::string& body) {
    return decodeBody(body, [](const Reader& r) {
        return InitResponse{r.required<std::string>("device_code"),
                            r.required<std::string>("user_code"),
                            r.required<std::string>("verification_url"),
                            r.required<int64_t>("interval"), r.required<int64_t>("expires_in")};
    });
}

PollResponse decodePollResponse(const std::string& body) {
    return decodeBody(body, [](const Reader& r) {
        return PollResponse{r.required<std::string>("status"), r.optional<std::string>("token"),
                            r.optional<std::vector<std::string>>("scopes"),
                            r.optional<std::string>("device_id")};
    });
}

}  // namespace sayloft::service
