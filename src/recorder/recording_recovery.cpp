#include "recorder/recording_recovery.hpp"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "core/files.hpp"
#include "core/log.hpp"
#include "core/places.hpp"
#include "core/time_format.hpp"
#include "sayloft/version.hpp"

namespace sayloft::recorder {

namespace fs = std::filesystem;

namespace {

constexpr const char* kArea = "recorder";

uint64_t readBigEndian(const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}

void writeBigEndian64(unsigned char* p, uint64_t v) {
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<unsigned char>(v & 0xff);
        v >>= 8;
    }
}

bool preadAll(int fd, void* buf, size_t n, off_t at) {
    auto* p = static_cast<unsigned char*>(buf);
    while (n > 0) {
        ssize_t r = ::pread(fd, p, n, at);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
        at += r;
    }
    return true;
}

std::optional<core::TimePoint> fileTime(const fs::path& file, bool creation) {
    struct statx sx;
    if (::statx(AT_FDCWD, file.c_str(), 0, STATX_BTIME | STATX_MTIME, &sx) != 0)
        return std::nullopt;
    const statx_timestamp* ts = nullptr;
    if (creation) {
        if (!(sx.stx_mask & STATX_BTIME)) return std::nullopt;
        ts = &sx.stx_btime;
    } else {
        ts = &sx.stx_mtime;
    }
    return core::TimePoint{} + std::chrono::seconds(ts->tv_sec) +
           std::chrono::duration_cast<core::Duration>(std::chrono::nanoseconds(ts->tv_nsec));
}

double segmentRate(const fs::path& file) {
    SF_INFO info{};
    SNDFILE* f = sf_open(file.c_str(), SFM_READ, &info);
    if (!f) return 48000;
    sf_close(f);
    return info.samplerate > 0 ? info.samplerate : 48000;
}

}  // namespace

bool repairCafDataSize(const fs::path& file) {
    int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    struct Close {
        int fd;
        ~Close() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    const uint64_t length = static_cast<uint64_t>(st.st_size);
    unsigned char head[8];
    if (!preadAll(fd, head, 8, 0) || std::memcmp(head, "caff", 4) != 0) return false;
    uint64_t at = 8;
    uint64_t frameBytes = 0;
    while (at + 12 <= length) {
        unsigned char chunk[12];
        if (!preadAll(fd, chunk, 12, static_cast<off_t>(at))) return false;
        const uint64_t size = readBigEndian(chunk + 4, 8);
        const uint64_t body = at + 12;
        if (std::memcmp(chunk, "desc", 4) == 0 && size >= 32) {
            unsigned char desc[32];
            if (!preadAll(fd, desc, 32, static_cast<off_t>(body))) return false;
            frameBytes = readBigEndian(desc + 16, 4);  // bytes per packet
        }
        if (std::memcmp(chunk, "data", 4) == 0) {
            if (frameBytes == 0 || body + 4 > length) return false;
            // Only a data chunk that runs to the end of the file can be measured by it.
            if (size != UINT64_MAX && body + size < length && size >= 4) {
                // the recorded size leaves bytes behind: those may be other chunks
                unsigned char next[4];
                if (preadAll(fd, next, 4, static_cast<off_t>(body + size)) &&
                    std::isalpha(next[0]) && std::isalpha(next[1]) && std::isalpha(next[2]) &&
                    std::isalpha(next[3]))
                    return false;
            }
            const uint64_t audio = (length - body - 4) / frameBytes * frameBytes;
            const uint64_t wanted = 4 + audio;
            if (wanted == size) return false;
            unsigned char sizeBytes[8];
            writeBigEndian64(sizeBytes, wanted);
            if (::pwrite(fd, sizeBytes, 8, static_cast<off_t>(at + 4)) != 8) return false;
            ::fsync(fd);
            return true;
        }
        if (size == UINT64_MAX) return false;
        at = body + size;
    }
    return false;
}

std::vector<std::string> segmentFiles(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        auto name = it->path().filename().string();
        if (name.starts_with("segment-") && name.ends_with(".caf")) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

RecordingRecovery::RecordingRecovery(fs::path root, core::Clock& clock)
    : root_(std::move(root)), clock_(&clock) {}

fs::path RecordingRecovery::defaultRoot() {
    return core::dataDir() / "Recordings";
}

bool RecordingRecovery::isValidID(const std::string& id) {
    return !id.empty() && id != "." && id != ".." && id.find('/') == std::string::npos &&
           id.find('\0') == std::string::npos;
}

std::optional<std::string> RecordingRecovery::rootProblem() const {
    struct stat link {};
    if (::lstat(root_.c_str(), &link) != 0) {
        if (errno == ENOTDIR)
            return root_.string() + " cannot be made: a part of its path is not a folder";
        return std::nullopt;  // made on the first recording
    }
    struct stat target {};
    if (::stat(root_.c_str(), &target) != 0) {
        if (S_ISLNK(link.st_mode)) {
            std::error_code ec;
            const auto to = fs::read_symlink(root_, ec);
            return root_.string() + " is a link to " + (ec ? std::string("a place") : to.string()) +
                   ", which does not exist";
        }
        return root_.string() + " cannot be read (" + std::strerror(errno) + ")";
    }
    if (S_ISDIR(target.st_mode)) return std::nullopt;
    const char* what = S_ISREG(target.st_mode)    ? "a regular file"
                       : S_ISFIFO(target.st_mode) ? "a named pipe (FIFO)"
                       : S_ISSOCK(target.st_mode) ? "a socket"
                                                  : "a device";
    return root_.string() + (S_ISLNK(link.st_mode) ? " leads to " : " is ") + what +
           ", not a folder";
}

fs::path RecordingRecovery::workFolder(const std::string& id) const {
    if (!isValidID(id)) throw Error("not a recording id: \"" + id + "\"");
    return root_ / id;
}

void RecordingRecovery::saveSidecar(const RecordingSidecar& sidecar) const {
    try {
        auto folder = workFolder(sidecar.id);
        std::error_code ec;
        if (!fs::is_directory(folder, ec)) return;
        core::writeDurably(folder / "recording.json", renderSidecar(sidecar));
    } catch (const std::exception& e) {
        core::log(kArea, "recovery: could not write sidecar for {}: {}", sidecar.id, e.what());
    }
}

std::optional<RecordingSidecar> RecordingRecovery::loadSidecar(const std::string& id) const {
    if (!isValidID(id)) return std::nullopt;
    auto text = core::readFile(workFolder(id) / "recording.json");
    if (!text) return std::nullopt;
    auto sidecar = parseSidecar(*text);
    // The folder's name is the id: a sidecar naming another place must not lead there.
    if (sidecar && sidecar->id != id) {
        core::log(kArea, "recovery: {} calls itself \"{}\"; using the folder's name", id,
                  sidecar->id);
        sidecar->id = id;
    }
    return sidecar;
}

std::optional<RecordingSidecar> RecordingRecovery::reconstructSidecar(const std::string& id) const {
    if (!isValidID(id)) return std::nullopt;
    const auto folder = workFolder(id);
    const auto names = segmentFiles(folder);
    if (names.empty()) return std::nullopt;
    RecordingSidecar s;
    s.id = id;
    const auto now = clock_->now();
    for (size_t i = 0; i < names.size(); ++i) {
        const auto path = folder / names[i];
        repairCafDataSize(path);
        RecordingSegment g;
        g.file = names[i];
        g.sampleRate = segmentRate(path);
        auto modified = fileTime(path, false);
        g.startedAt = fileTime(path, true).value_or(modified.value_or(now));
        g.endedAt = modified.value_or(now);
        g.reason = i == 0 ? "start" : "resume";
        s.segments.push_back(std::move(g));
    }
    s.startedAt = core::parseLocal(id, "yyMMdd-HHmmss").value_or(s.segments.front().startedAt);
    s.endedAt = s.segments.back().endedAt;
    s.microphoneName = "unknown";
    s.channelLayout = kLayoutMicrophoneSystem;
    s.systemSideSilent = false;
    s.micSideSilent = false;
    s.status = "stopped";
    s.reconstructed = true;
    s.appVersion = kVersion;
    saveSidecar(s);
    core::log(kArea, "recovery: {} had no readable recording.json; rebuilt it from {} segment(s)",
              id, names.size());
    return s;
}

std::vector<RecordingSidecar> RecordingRecovery::scan(
    const std::optional<std::string>& exclude) const {
    std::vector<RecordingSidecar> kept;
    std::vector<std::string> ids;
    std::error_code ec;
    for (fs::directory_iterator it(root_, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->is_directory(typeError) && !it->is_symlink(typeError))
            ids.push_back(it->path().filename().string());
    }
    std::sort(ids.begin(), ids.end());
    for (const auto& id : ids) {
        if (exclude && id == *exclude) continue;
        auto sidecar = loadSidecar(id);
        if (!sidecar) sidecar = reconstructSidecar(id);
        if (!sidecar) {
            core::log(kArea, "recovery: {} has no readable recording.json and no audio; left alone",
                      id);
            continue;
        }
        if (isUnfinishedStatus(sidecar->status)) {
            repairSegments(id);
            kept.push_back(std::move(*sidecar));
        } else if (sidecar->status == "sent" || sidecar->status == "discarded") {
            std::error_code rm;
            fs::remove_all(root_ / id, rm);
            core::log(kArea, "recovery: removed leftover {} folder ({})", id, sidecar->status);
        }
    }
    std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) {
        return a.startedAt != b.startedAt ? a.startedAt > b.startedAt : a.id > b.id;
    });
    return kept;
}

int RecordingRecovery::repairSegments(const std::string& id) const {
    int repaired = 0;
    const auto folder = workFolder(id);
    for (const auto& name : segmentFiles(folder))
        if (repairCafDataSize(folder / name)) ++repaired;
    return repaired;
}

RecordingSidecar RecordingRecovery::closeOpenEnds(RecordingSidecar sidecar) const {
    repairSegments(sidecar.id);
    if (sidecar.segments.empty()) return sidecar;
    auto& last = sidecar.segments.back();
    auto modified = fileTime(workFolder(sidecar.id) / last.file, false);
    if (!modified) return sidecar;
    if (!last.endedAt) last.endedAt = modified;
    if (!sidecar.endedAt) sidecar.endedAt = modified;
    return sidecar;
}

void RecordingRecovery::removeEncodedParts(const std::string& id) const {
    std::error_code ec;
    for (fs::directory_iterator it(workFolder(id), ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().extension() == ".m4a") {
            std::error_code rm;
            fs::remove(it->path(), rm);
        }
    }
}

bool RecordingRecovery::removeWorkFolder(const std::string& id) const {
    const auto folder = workFolder(id);
    std::error_code ec;
    fs::remove_all(folder, ec);
    if (ec && fs::exists(folder)) {
        core::log(kArea, "could not remove {}: {}", folder.string(), ec.message());
        return false;
    }
    return true;
}

double recordedSeconds(const fs::path& workFolder, const RecordingSidecar& sidecar) {
    double seconds = 0;
    for (const auto& segment : sidecar.segments) {
        if (!RecordingRecovery::isValidID(segment.file)) continue;
        SF_INFO info{};
        SNDFILE* f = sf_open((workFolder / segment.file).c_str(), SFM_READ, &info);
        if (!f) continue;
        sf_close(f);
        if (info.samplerate > 0 && info.frames > 0)
            seconds += static_cast<double>(info.frames) / info.samplerate;
    }
    return seconds;
}

std::vector<UnfinishedRecording> listUnfinished(const RecordingRecovery& recovery) {
    std::vector<UnfinishedRecording> list;
    for (auto& sidecar : recovery.scan()) {
        UnfinishedRecording item;
        item.id = sidecar.id;
        item.startedAt = sidecar.startedAt;
        item.seconds = recordedSeconds(recovery.workFolder(sidecar.id), sidecar);
        item.silent = isSilent(sidecar);
        if (item.silent)
            item.why = "silent: no audio reached sayloft";
        else if (sidecar.reconstructed.value_or(false))
            item.why = "its description was lost; rebuilt from the audio";
        else if (sidecar.status == "recording" || sidecar.status == "paused")
            item.why = "interrupted while recording";
        else if (sidecar.status == "stopped")
            item.why = "stopped but not sent";
        else
            item.why = "encoded but not handed over";
        item.sidecar = std::move(sidecar);
        list.push_back(std::move(item));
    }
    return list;
}

}  // namespace sayloft::recorder
