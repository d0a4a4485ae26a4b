#include "media/duration_probe.hpp"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <mutex>

namespace sayloft::media {

std::optional<double> probeDuration(const std::filesystem::path& file) {
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_FATAL); });

    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, file.c_str(), nullptr, nullptr) < 0) return std::nullopt;
    std::optional<double> result;
    if (avformat_find_stream_info(ctx, nullptr) >= 0) {
        if (ctx->duration != AV_NOPTS_VALUE && ctx->duration >= 0) {
            result = double(ctx->duration) / AV_TIME_BASE;
        } else {
            for (unsigned i = 0; i < ctx->nb_streams; ++i) {
                AVStream* s = ctx->streams[i];
                if (s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO &&
                    s->duration != AV_NOPTS_VALUE) {
                    result = double(s->duration) * av_q2d(s->time_base);
                    break;
                }
            }
        }
    }
    avformat_close_input(&ctx);
    return result;
}

}  // namespace sayloft::media
