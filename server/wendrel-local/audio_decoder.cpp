#include "audio_decoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <fmt/format.h>

#include <functional>
#include <mutex>

namespace sayloft::wendrel {

namespace {
std::string avError(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

void quietLibav() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR - 8); });
}

// One open audio stream: container, decoder and (lazily) a resampler to 16 kHz mono s16.
class Decoder {
  public:
    explicit Decoder(const std::filesystem::path& file) {
        quietLibav();
        int rc = avformat_open_input(&fmt_, file.c_str(), nullptr, nullptr);
        if (rc < 0) throw AudioError("not a readable audio file (" + avError(rc) + ")");
        rc = avformat_find_stream_info(fmt_, nullptr);
        if (rc < 0) throw AudioError("not a readable audio file (" + avError(rc) + ")");
        const AVCodec* codec = nullptr;
        stream_ = av_find_best_stream(fmt_, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
        if (stream_ < 0) throw AudioError("the file has no audio stream");
        if (!codec) throw AudioError("no decoder for this audio format");
        ctx_ = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(ctx_, fmt_->streams[stream_]->codecpar);
        rc = avcodec_open2(ctx_, codec, nullptr);
        if (rc < 0) throw AudioError("cannot open the audio decoder (" + avError(rc) + ")");
        codecName_ = codec->name;
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
    }
    ~Decoder() {
        swr_free(&swr_);
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&ctx_);
        avformat_close_input(&fmt_);
    }

    double containerDuration() const {
        if (fmt_->duration != AV_NOPTS_VALUE && fmt_->duration > 0) {
            return static_cast<double>(fmt_->duration) / AV_TIME_BASE;
        }
        auto* st = fmt_->streams[stream_];
        if (st->duration != AV_NOPTS_VALUE && st->duration > 0) {
            return static_cast<double>(st->duration) * av_q2d(st->time_base);
        }
        return 0;
    }
    const std::string& codecName() const { return codecName_; }

    // Feeds each decoded frame (as 16 kHz mono samples) to `sink` until the end, until `sink`
    // returns false, or until `stop`. Returns false when stopped.
    bool run(const std::function<bool(const int16_t*, int)>& sink, std::stop_token stop) {
        bool eof = false;
        while (!eof) {
            if (stop.stop_requested()) return false;
            int rc = av_read_frame(fmt_, packet_);
            if (rc < 0) {
                eof = true;
                avcodec_send_packet(ctx_, nullptr);
            } else {
                bool ours = packet_->stream_index == stream_;
                if (ours && avcodec_send_packet(ctx_, packet_) < 0) ++badPackets_;
                av_packet_unref(packet_);
                if (!ours) continue;
            }
            while (avcodec_receive_frame(ctx_, frame_) == 0) {
                bool more = convert(sink);
                av_frame_unref(frame_);
                if (!more) return true;
            }
        }
        flushResampler(sink);
        return true;
    }

    size_t framesDecoded() const { return framesDecoded_; }

  private:
    bool convert(const std::function<bool(const int16_t*, int)>& sink) {
        if (frame_->nb_samples <= 0) return true;
        if (!swr_) {
            AVChannelLayout in;
            if (frame_->ch_layout.nb_channels > 0 &&
                frame_->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC) {
                av_channel_layout_copy(&in, &frame_->ch_layout);
            } else {
                av_channel_layout_default(&in, std::max(1, frame_->ch_layout.nb_channels));
            }
            AVChannelLayout out = AV_CHANNEL_LAYOUT_MONO;
            int rc = swr_alloc_set_opts2(&swr_, &out, AV_SAMPLE_FMT_S16, kSpeechSampleRate, &in,
                                         static_cast<AVSampleFormat>(frame_->format),
                                         frame_->sample_rate, 0, nullptr);
            av_channel_layout_uninit(&in);
            if (rc < 0 || swr_init(swr_) < 0) throw AudioError("cannot convert this audio");
        }
        int capacity = static_cast<int>(
            av_rescale_rnd(swr_get_delay(swr_, frame_->sample_rate) + frame_->nb_samples,
                           kSpeechSampleRate, frame_->sample_rate, AV_ROUND_UP));
        buffer_.resize(static_cast<size_t>(capacity));
        uint8_t* outPlanes[1] = {reinterpret_cast<uint8_t*>(buffer_.data())};
        int n = swr_convert(swr_, outPlanes, capacity,
                            const_cast<const uint8_t**>(frame_->extended_data), frame_->nb_samples);
        if (n < 0) throw AudioError("cannot convert this audio");
        ++framesDecoded_;
        return n == 0 || sink(buffer_.data(), n);
    }

    void flushResampler(const std::function<bool(const int16_t*, int)>& sink) {
        if (!swr_) return;
        buffer_.resize(4096);
        uint8_t* outPlanes[1] = {reinterpret_cast<uint8_t*>(buffer_.data())};
        int n = swr_convert(swr_, outPlanes, 4096, nullptr, 0);
        if (n > 0) sink(buffer_.data(), n);
    }

    AVFormatContext* fmt_ = nullptr;
    AVCodecContext* ctx_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    SwrContext* swr_ = nullptr;
    int stream_ = -1;
    std::string codecName_;
    std::vector<int16_t> buffer_;
    size_t framesDecoded_ = 0;
    size_t badPackets_ = 0;
};
}  // namespace

AudioProbe probeAudio(const std::filesystem::path& file) {
    Decoder d(file);
    bool any = false;
    d.run(
        [&](const int16_t*, int n) {
            any = n > 0;
            return !any;  // stop at the first audio
        },
        {});
    if (!any) throw AudioError("the file holds no decodable audio (0 seconds)");
    return AudioProbe{d.containerDuration(), d.codecName()};
}

std::optional<std::vector<int16_t>> decodeForSpeech(const std::filesystem::path& file,
                                                    std::stop_token stop) {
    Decoder d(file);
    std::vector<int16_t> samples;
    bool finished = d.run(
        [&](const int16_t* data, int n) {
            samples.insert(samples.end(), data, data + n);
            return true;
        },
        stop);
    if (!finished) return std::nullopt;
    if (d.framesDecoded() == 0) throw AudioError("the file holds no decodable audio");
    return samples;
}

}  // namespace sayloft::wendrel
