// Loaded at run time by duration_probe.cpp: the only code that links the media libraries for
// probing, so that a process pays for loading them only when it probes a file.
extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

void quiet() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

bool declaredDuration(AVFormatContext* ctx, double& seconds) {
    if (ctx->duration != AV_NOPTS_VALUE && ctx->duration >= 0) {
        seconds = double(ctx->duration) / AV_TIME_BASE;
        return true;
    }
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        AVStream* s = ctx->streams[i];
        if (s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && s->duration != AV_NOPTS_VALUE) {
            seconds = double(s->duration) * av_q2d(s->time_base);
            return true;
        }
    }
    return false;
}

// A RIFF/WAVE file's own account of its length: false when its data chunk claims more bytes than
// the file holds, or claims none while bytes follow (a writer that fills the size in at the end
// is still writing).
bool wavHeaderWhole(const char* path) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    unsigned char head[12];
    bool whole = true;
    if (std::fread(head, 1, 12, f) == 12 && std::memcmp(head, "RIFF", 4) == 0 &&
        std::memcmp(head + 8, "WAVE", 4) == 0) {
        std::fseek(f, 0, SEEK_END);
        const long long fileSize = std::ftell(f);
        long long at = 12;
        while (at + 8 <= fileSize) {
            unsigned char chunk[8];
            std::fseek(f, long(at), SEEK_SET);
            if (std::fread(chunk, 1, 8, f) != 8) break;
            const unsigned long long size = chunk[4] | (chunk[5] << 8) | (chunk[6] << 16) |
                                            (static_cast<unsigned long long>(chunk[7]) << 24);
            if (std::memcmp(chunk, "data", 4) == 0) {
                if (size == 0xFFFFFFFFull) break;  // length left open on purpose
                whole = size > 0 ? at + 8 + (long long)size <= fileSize : at + 8 == fileSize;
                break;
            }
            at += 8 + (long long)size + (size & 1);
        }
    }
    std::fclose(f);
    return whole;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int sayloft_probe_duration(const char* path,
                                                                             double* seconds) {
    quiet();
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path, nullptr, nullptr) < 0) return -1;
    int rc = -1;
    if (avformat_find_stream_info(ctx, nullptr) >= 0 && declaredDuration(ctx, *seconds)) rc = 0;
    avformat_close_input(&ctx);
    return rc;
}

// Opens the file and reads every packet of its first audio stream. `whole` is set when the
// packets reach the declared end (within half a second or 2 %, whichever is larger) and the
// read ended at the end of the file rather than at an error.
extern "C" __attribute__((visibility("default"))) int sayloft_probe_whole(const char* path,
                                                                          double* seconds,
                                                                          int* hasDuration,
                                                                          int* whole) {
    quiet();
    *hasDuration = 0;
    *whole = 0;
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path, nullptr, nullptr) < 0) return -1;
    if (avformat_find_stream_info(ctx, nullptr) < 0) {
        avformat_close_input(&ctx);
        return -1;
    }
    double declared = 0;
    *hasDuration = declaredDuration(ctx, declared) ? 1 : 0;
    *seconds = declared;
    int audio = av_find_best_stream(ctx, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (audio < 0) {
        avformat_close_input(&ctx);
        return 0;
    }
    AVStream* stream = ctx->streams[audio];
    AVPacket* packet = av_packet_alloc();
    double end = 0;
    int rc = 0;
    for (;;) {
        rc = av_read_frame(ctx, packet);
        if (rc < 0) break;
        if (packet->stream_index == audio) {
            int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            if (pts != AV_NOPTS_VALUE) {
                double t = double(pts + std::max<int64_t>(packet->duration, 0)) *
                           av_q2d(stream->time_base);
                if (stream->start_time != AV_NOPTS_VALUE)
                    t -= double(stream->start_time) * av_q2d(stream->time_base);
                end = std::max(end, t);
            }
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    bool cleanEnd = rc == AVERROR_EOF;
    if (cleanEnd) {
        if (!*hasDuration) {
            *whole = 1;
        } else {
            double tolerance = std::max(0.5, declared * 0.02);
            *whole = end + tolerance >= declared ? 1 : 0;
        }
    }
    avformat_close_input(&ctx);
    if (*whole && !wavHeaderWhole(path)) *whole = 0;
    return 0;
}
