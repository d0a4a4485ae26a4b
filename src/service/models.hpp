#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/error.hpp"

// The service's answers as the client reads them. Keys are the wire names; a required key that is
// missing or null, a body that is not a JSON object, or a present key of the wrong type makes
// decoding throw DecodeError. Unknown keys are ignored.
namespace sayloft::service {

class DecodeError : public Error {
  public:
    using Error::Error;
};

struct UploadResult {
    std::string status;
    std::optional<std::string> task_id;
    std::optional<std::string> cache_key;
    std::optional<std::string> message;
    std::optional<std::string> title;
};

struct TaskStatus {
    std::optional<std::string> status;
    std::optional<std::string> cache_key;
    std::optional<std::string> result_cache_key;  // "result": {"cache_key": ...}
};

struct TranscriptionStage {
    std::optional<std::string> status;
    std::optional<std::string> model;
    std::optional<double> duration;
    std::optional<int64_t> word_count;
};

struct PipelineStatus {
    std::optional<TranscriptionStage> transcription;  // "status": {"transcription": {...}}
};

struct ResultBlock {
    std::optional<std::string> text;
    std::optional<std::string> original_filename;
    std::optional<std::string> language;
    std::optional<double> duration;
    std::optional<int64_t> word_count;
    std::optional<std::string> model;
    std::optional<std::string> llm_title;
    std::optional<std::string> llm_summary;
    std::optional<std::string> status;
};

struct SourceDetail {
    bool success = false;
    ResultBlock result;
    std::string cache_key;
};

struct SourceMetadata {
    std::string cache_key;
    std::optional<double> timestamp;
    std::optional<double> created_at;
    std::optional<std::string> llm_title;
    std::optional<std::string> llm_summary;
    std::optional<std::string> status;
    std::optional<std::string> model;
    std::optional<double> duration;
    std::optional<bool> is_deleted;
    std::optional<std::string> original_filename;
};

struct SourceListResponse {
    std::vector<SourceMetadata> files;
    int64_t count = 0;
    bool has_more = false;
    std::optional<std::string> next_cursor;
};

struct PlanRequiredBody {
    std::optional<std::string> error;
    std::optional<std::string> plan;
    std::optional<std::string> message;
};

// Pairing endpoints.
struct InitResponse {
    std::string device_code;
    std::string user_code;
    std::string verification_url;
    int64_t interval = 0;
    int64_t expires_in = 0;
};

struct PollResponse {
    std::string status;
    std::optional<std::string> token;
    std::optional<std::vector<std::string>> scopes;
    std::optional<std::string> device_id;
};

UploadResult decodeUploadResult(const std::string& body);
TaskStatus decodeTaskStatus(const std::string& body);
PipelineStatus decodePipelineStatus(const std::string& body);
SourceDetail decodeSourceDetail(const std::string& body);
SourceListResponse decodeSourceList(const std::string& body);
PlanRequiredBody decodePlanRequired(const std::string& body);
InitResponse decodeInitResponse(const std::string& body);
PollResponse decodePollResponse(const std::string& body);

}  // namespace sayloft::service
