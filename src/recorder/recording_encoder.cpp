#include "recorder/recording_encoder.hpp"

#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "core/log.hpp"
#include "recorder/recording_recovery.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace sayloft::recorder {

namespace fs = std::filesystem;

namespace {

constexpr const char* kArea = "recorder";
constexpr int64_t kRate = RecordingEncoder::kTargetRate;
constexpr int kScratchFrames = 32768;
constexpr int kBitRate = 128000;

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// One AAC part being written: FFmpeg's native encoder into the ipod (.m4a) muxer.
class AacPart {
  public:
    AacPart(const fs::path& path) : name_(path.filename().string()) {
        av_log_set_level(AV_LOG_WARNING);
        auto fail = [&](const std::string& reason) {
            release();
            throw EncodeError::cannotCreatePart(name_, reason);
        };
        int rc = avformat_alloc_output_context2(&format_, nullptr, "ipod", path.c_str());
        if (rc < 0 || !format_) fail(avError(rc));
        const AVCodec* codec = avcodec_find_encoder_by_name("aac");
        if (!codec) fail("no AAC encoder");
        codec_ = avcodec_alloc_context3(codec);
        if (!codec_) fail("out of memory");
        codec_->sample_fmt = AV_SAMPLE_FMT_FLTP;
        codec_->sample_rate = static_cast<int>(kRate);
        av_channel_layout_default(&codec_->ch_layout, 2);
        codec_->bit_rate = kBitRate;
        codec_->profile = FF_PROFILE_AAC_LOW;
        codec_->time_base = AVRational{1, static_cast<int>(kRate)};
        if (format_->oformat->flags & AVFMT_GLOBALHEADER)
            codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if ((rc = avcodec_open2(codec_, codec, nullptr)) < 0) fail(avError(rc));
        smallLastFrame_ = codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME;
        stream_ = avformat_new_stream(format_, nullptr);
        if (!stream_) fail("out of memory");
        stream_->time_base = codec_->time_base;
        if ((rc = avcodec_parameters_from_context(stream_->codecpar, codec_)) < 0)
            fail(avError(rc));
        if ((rc = avio_open(&format_->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0) fail(avError(rc));
        // Fragments of 10 s: a plain MP4 keeps an index entry per packet in memory until the
        // end (about 12 MB an hour); fragments keep memory flat however long the part is.
        AVDictionary* options = nullptr;
        av_dict_set(&options, "movflags", "empty_moov+default_base_moof", 0);
        av_dict_set(&options, "frag_duration", "10000000", 0);
        rc = avformat_write_header(format_, &options);
        av_dict_free(&options);
        if (rc < 0) fail(avError(rc));
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        if (!frame_ || !packet_) fail("out of memory");
        frameSize_ = codec_->frame_size > 0 ? codec_->frame_size : 1024;
        if (!allocFrame(frameSize_)) fail("out of memory");
    }

    ~AacPart() { release(); }

    // Interleaved stereo frames.
    void write(const float* data, int64_t frames) {
        while (frames > 0) {
            if (fill_ == 0 && av_frame_make_writable(frame_) < 0) fail("frame not writable");
            const int n = static_cast<int>(std::min<int64_t>(frames, frameSize_ - fill_));
            auto* left = reinterpret_cast<float*>(frame_->data[0]) + fill_;
            auto* right = reinterpret_cast<float*>(frame_->data[1]) + fill_;
            for (int i = 0; i < n; ++i) {
                left[i] = data[2 * i];
                right[i] = data[2 * i + 1];
            }
            fill_ += n;
            data += 2 * n;
            frames -= n;
            if (fill_ == frameSize_) sendFrame(frameSize_);
        }
    }

    void close() {
        if (fill_ > 0) {
            if (smallLastFrame_) {
                frame_->nb_samples = fill_;
                sendFrame(fill_);
            } else {
                for (int c = 0; c < 2; ++c)
                    std::fill(reinterpret_cast<float*>(frame_->data[c]) + fill_,
                              reinterpret_cast<float*>(frame_->data[c]) + frameSize_, 0.0f);
                sendFrame(frameSize_);
            }
        }
        int rc = avcodec_send_frame(codec_, nullptr);
        if (rc < 0) fail(avError(rc));
        drain();
        if ((rc = av_write_trailer(format_)) < 0) fail(avError(rc));
        // The muxer does not always pass on what the file refused (a full disk): ask the file.
        avio_flush(format_->pb);
        checkFile();
        if ((rc = avio_closep(&format_->pb)) < 0) fail(avError(rc));
        release();
    }

  private:
    bool allocFrame(int samples) {
        frame_->nb_samples = samples;
        frame_->format = AV_SAMPLE_FMT_FLTP;
        frame_->sample_rate = static_cast<int>(kRate);
        av_channel_layout_default(&frame_->ch_layout, 2);
        return av_frame_get_buffer(frame_, 0) >= 0;
    }

    [[noreturn]] void fail(const std::string& reason) {
        throw EncodeError::writeFailed(name_, reason);
    }

    void sendFrame(int samples) {
        frame_->pts = pts_;
        pts_ += samples;
        int rc = avcodec_send_frame(codec_, frame_);
        fill_ = 0;
        if (rc < 0) fail(avError(rc));
        drain();
    }

    void drain() {
        for (;;) {
            int rc = avcodec_receive_packet(codec_, packet_);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
            if (rc < 0) fail(avError(rc));
            av_packet_rescale_ts(packet_, codec_->time_base, stream_->time_base);
            packet_->stream_index = stream_->index;
            rc = av_interleaved_write_frame(format_, packet_);
            if (rc < 0) fail(avError(rc));
            checkFile();
        }
    }

    void checkFile() {
        if (format_->pb && format_->pb->error < 0) fail(avError(format_->pb->error));
    }

    void release() {
        if (format_ && format_->pb) avio_closep(&format_->pb);
        if (format_) avformat_free_context(format_);
        format_ = nullptr;
        if (codec_) avcodec_free_context(&codec_);
        if (frame_) av_frame_free(&frame_);
        if (packet_) av_packet_free(&packet_);
    }

    std::string name_;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVStream* stream_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    int frameSize_ = 1024;
    int fill_ = 0;
    int64_t pts_ = 0;
    bool smallLastFrame_ = false;
};

// Collects the recording's frames into parts, holding back the last window before the limit to
// cut at its quietest second.
class PartSink {
  public:
    PartSink(fs::path folder, std::string id, int64_t limitFrames)
        : folder_(std::move(folder)),
          id_(std::move(id)),
          limitFrames_(limitFrames),
          windowFrames_(RecordingEncoder::windowFramesFor(limitFrames)) {
        try {
            window_.assign(static_cast<size_t>(windowFrames_) * 2, 0.0f);
        } catch (const std::bad_alloc&) {
            throw EncodeError::conversionFailed("output", "could not allocate encoder buffers");
        }
    }

    void append(const float* data, int64_t count) {
        while (count > 0) {
            if (!inWindow_) {
                const int64_t room = (limitFrames_ - windowFrames_) - partFrames_;
                if (room >= 1) {
                    const int64_t n = std::min(count, room);
                    write(data, n);
                    data += 2 * n;
                    count -= n;
                    continue;
                }
                inWindow_ = true;
                windowFill_ = 0;
            }
            const int64_t n = std::min(count, windowFrames_ - windowFill_);
            std::copy(data, data + 2 * n, window_.begin() + 2 * windowFill_);
            windowFill_ += n;
            data += 2 * n;
            count -= n;
            if (windowFill_ == windowFrames_) cut();
        }
    }

    std::vector<fs::path> finish() {
        if (inWindow_ && windowFill_ > 0) write(window_.data(), windowFill_);
        inWindow_ = false;
        windowFill_ = 0;
        closePart();
        return parts_;
    }

    const std::vector<fs::path>& parts() const { return parts_; }
    int64_t totalFrames() const { return totalFrames_; }

  private:
    void write(const float* data, int64_t count) {
        if (count < 1) return;
        openPartIfNeeded();
        part_->write(data, count);
        partFrames_ += count;
        totalFrames_ += count;
    }

    void openPartIfNeeded() {
        if (part_) return;
        const auto path =
            folder_ / RecordingEncoder::partName(id_, static_cast<int>(parts_.size()) + 1);
        std::error_code ec;
        fs::remove(path, ec);
        part_ = std::make_unique<AacPart>(path);
        parts_.push_back(path);
        partFrames_ = 0;
    }

    void closePart() {
        if (!part_) return;
        auto part = std::move(part_);
        part->close();
    }

    void cut() {
        const int64_t length = windowFill_;
        const int64_t at = quietestCut(length);
        write(window_.data(), at);
        core::log(kArea, "part {} cut at {:.1f} s", parts_.size(),
                  static_cast<double>(partFrames_) / kRate);
        closePart();
        inWindow_ = false;
        if (at < length) write(window_.data() + 2 * at, length - at);
        windowFill_ = 0;
    }

    int64_t quietestCut(int64_t length) const {
        const int64_t second = kRate;
        if (length < second) return length;
        int64_t best = 0;
        double bestEnergy = -1;
        for (int64_t start = 0; start + second <= length; start += second) {
            double energy = 0;
            const float* p = window_.data() + 2 * start;
            for (int64_t i = 0; i < 2 * second; ++i) energy += static_cast<double>(p[i]) * p[i];
            if (bestEnergy < 0 || energy <= bestEnergy) {
                bestEnergy = energy;
                best = start;
            }
        }
        return best + second / 2;
    }

    fs::path folder_;
    std::string id_;
    int64_t limitFrames_;
    int64_t windowFrames_;
    std::vector<fs::path> parts_;
    int64_t totalFrames_ = 0;
    std::unique_ptr<AacPart> part_;
    int64_t partFrames_ = 0;
    std::vector<float> window_;
    int64_t windowFill_ = 0;
    bool inWindow_ = false;
};

struct SndFileCloser {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
using SndFile = std::unique_ptr<SNDFILE, SndFileCloser>;

struct SwrFree {
    void operator()(SwrContext* s) const { swr_free(&s); }
};

// Reads one segment into the sink, converting it to 48 kHz stereo where needed. A read error
// ends the segment; what was read before it stays.
void feed(SNDFILE* file, const SF_INFO& info, const std::string& name, PartSink& sink) {
    std::vector<float> read;
    try {
        read.assign(static_cast<size_t>(kScratchFrames) * info.channels, 0.0f);
    } catch (const std::bad_alloc&) {
        throw EncodeError::conversionFailed(name, "could not allocate a read buffer");
    }
    int64_t position = 0;
    auto readChunk = [&]() -> int64_t {
        const sf_count_t got = sf_readf_float(file, read.data(), kScratchFrames);
        if (sf_error(file) != SF_ERR_NO_ERROR) {
            core::log(kArea, "{} readable up to frame {}: {}", name,
                      position + std::max<sf_count_t>(got, 0), sf_strerror(file));
            return got > 0 ? -got : -1;  // negative: the last piece before the damage
        }
        return got;
    };

    if (info.samplerate == kRate && info.channels == 2) {
        for (;;) {
            int64_t got = readChunk();
            const bool damaged = got < 0;
            if (damaged) got = got == -1 ? 0 : -got;
            if (got > 0) sink.append(read.data(), got);
            position += got;
            if (damaged || got == 0) return;
        }
    }

    std::unique_ptr<SwrContext, SwrFree> swr;
    {
        SwrContext* raw = nullptr;
        AVChannelLayout in{}, out{};
        av_channel_layout_default(&in, info.channels);
        av_channel_layout_default(&out, 2);
        int rc = swr_alloc_set_opts2(&raw, &out, AV_SAMPLE_FMT_FLT, static_cast<int>(kRate), &in,
                                     AV_SAMPLE_FMT_FLT, info.samplerate, 0, nullptr);
        swr.reset(raw);
        if (rc >= 0 && raw) {
            av_opt_set_int(raw, "filter_size", 32, 0);
            av_opt_set_int(raw, "phase_shift", 10, 0);
            rc = swr_init(raw);
        }
        av_channel_layout_uninit(&in);
        av_channel_layout_uninit(&out);
        if (rc < 0 || !raw) {
            throw EncodeError::conversionFailed(
                name, "no converter from " + std::to_string(info.samplerate) + " Hz / " +
                          std::to_string(info.channels) + " ch");
        }
    }
    const int capacity =
        static_cast<int>(static_cast<double>(kRate) / info.samplerate * kScratchFrames) + 1024;
    std::vector<float> converted;
    try {
        converted.assign(static_cast<size_t>(capacity) * 2, 0.0f);
    } catch (const std::bad_alloc&) {
        throw EncodeError::conversionFailed(name, "could not allocate a conversion buffer");
    }
    for (bool ended = false; !ended;) {
        int64_t got = readChunk();
        if (got < 0) {
            got = got == -1 ? 0 : -got;
            ended = true;
        }
        if (got == 0) ended = true;
        position += got;
        auto* outPtr = reinterpret_cast<uint8_t*>(converted.data());
        const auto* inPtr = reinterpret_cast<const uint8_t*>(read.data());
        int made = got > 0
                       ? swr_convert(swr.get(), &outPtr, capacity, &inPtr, static_cast<int>(got))
                       : swr_convert(swr.get(), &outPtr, capacity, nullptr, 0);
        if (made < 0) throw EncodeError::conversionFailed(name, avError(made));
        if (made > 0) sink.append(converted.data(), made);
        if (ended && got > 0) {
            made = swr_convert(swr.get(), &outPtr, capacity, nullptr, 0);
            if (made < 0) throw EncodeError::conversionFailed(name, avError(made));
            if (made > 0) sink.append(converted.data(), made);
        }
    }
}

}  // namespace

EncodeError EncodeError::cannotCreatePart(const std::string& name, const std::string& reason) {
    return {Kind::cannotCreatePart, "Could not create " + name + ": " + reason};
}
EncodeError EncodeError::conversionFailed(const std::string& name, const std::string& reason) {
    return {Kind::conversionFailed, "Could not convert " + name + ": " + reason};
}
EncodeError EncodeError::writeFailed(const std::string& name, const std::string& reason) {
    return {Kind::writeFailed, "Could not write " + name + ": " + reason};
}
EncodeError EncodeError::noSegments() {
    return {Kind::noSegments, "The recording has no audio segments."};
}
EncodeError EncodeError::noAudio() {
    return {Kind::noAudio, "The recording contains no readable audio."};
}

std::string RecordingEncoder::partName(const std::string& id, int index) {
    return index <= 1 ? id + ".m4a" : id + "_" + std::to_string(index) + ".m4a";
}

int64_t RecordingEncoder::limitFramesFor(int64_t requested) {
    return std::max(2 * kTargetRate, requested);
}

int64_t RecordingEncoder::windowFramesFor(int64_t limitFrames) {
    return std::max(kTargetRate, limitFrames >= 5'760'000 ? int64_t{2'880'000} : limitFrames / 2);
}

std::vector<fs::path> RecordingEncoder::encode(const fs::path& workFolder,
                                               const RecordingSidecar& sidecar,
                                               const Options& options) {
    if (sidecar.segments.empty()) throw EncodeError::noSegments();
    const auto& id = sidecar.id;
    if (!RecordingRecovery::isValidID(id))
        throw EncodeError::cannotCreatePart(id, "not a recording id");
    {
        std::error_code ec;
        for (fs::directory_iterator it(workFolder, ec), end; !ec && it != end; it.increment(ec)) {
            const auto name = it->path().filename().string();
            if (name == id + ".m4a" || (name.starts_with(id + "_") && name.ends_with(".m4a"))) {
                std::error_code rm;
                fs::remove(it->path(), rm);
            }
        }
    }
    PartSink sink(workFolder, id, limitFramesFor(options.limitFrames));
    int fed = 0;
    for (const auto& segment : sidecar.segments) {
        const auto& name = segment.file;
        if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
            core::log(kArea, "skipping empty or missing {}", name);
            continue;
        }
        const auto path = workFolder / name;
        std::error_code ec;
        const auto size = fs::file_size(path, ec);
        if (ec || size < 1) {
            core::log(kArea, "skipping empty or missing {}", name);
            continue;
        }
        SF_INFO info{};
        SndFile file(sf_open(path.c_str(), SFM_READ, &info));
        if (!file) {
            core::log(kArea, "cannot open {}, skipped: {}", name, sf_strerror(nullptr));
            continue;
        }
        if (info.frames < 1) {
            core::log(kArea, "skipping zero-length {}", name);
            continue;
        }
        feed(file.get(), info, name, sink);
        ++fed;
    }
    auto parts = sink.finish();
    if (fed == 0) {
        for (const auto& p : parts) {
            std::error_code ec;
            fs::remove(p, ec);
        }
        throw EncodeError::noAudio();
    }
    if (parts.empty()) throw EncodeError::noAudio();
    core::log(kArea, "encoded {} into {} part(s), {:.0f} s", id, parts.size(),
              static_cast<double>(sink.totalFrames()) / kRate);
    return parts;
}

}  // namespace sayloft::recorder
