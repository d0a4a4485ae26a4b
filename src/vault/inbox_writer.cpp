#include "vault/inbox_writer.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>

#include <fmt/format.h>

#include "core/files.hpp"
#include "core/places.hpp"
#include "core/text.hpp"
#include "core/time_format.hpp"

namespace sayloft::vault {

namespace fs = std::filesystem;
using core::dropLeadingLineBreaks;
using core::FileError;
using core::isValidUtf8;
using core::trimWhitespace;

namespace {

constexpr std::array<std::string_view, 10> kReservedWords = {"y",   "n",    "yes",   "no",   "on",
                                                             "off", "true", "false", "null", "~"};

void replaceAll(std::string& s, std::string_view from, std::string_view to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

std::string lowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

std::string join(const std::vector<std::string>& items, std::string_view separator) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += separator;
        out += items[i];
    }
    return out;
}

// How a value is written after its key.
enum class Style { asIs, quoted, list };

struct Entry {
    std::string_view key;
    bool inSource;
    Style style;
    std::string value;               // asIs and quoted
    std::vector<std::string> items;  // list
};

// The frontmatter's lines in their fixed order; absent optional values have no line.
std::vector<Entry> entries(const InboxWriter::Frontmatter& f) {
    std::vector<Entry> e;
    auto add = [&](std::string_view key, bool inSource, Style style, std::string value) {
        e.push_back({key, inSource, style, std::move(value), {}});
    };
    auto addOptional = [&](std::string_view key, bool inSource, Style style,
                           const std::optional<std::string>& value) {
        if (value) add(key, inSource, style, *value);
    };
    auto addDate = [&](std::string_view key, bool inSource,
                       const std::optional<core::TimePoint>& t) {
        if (t) add(key, inSource, Style::asIs, core::formatIso8601Utc(*t));
    };
    add("id", false, Style::asIs, f.id);
    addDate("created", false, f.created);
    add("classification", false, Style::asIs, f.classification);
    add("status", false, Style::asIs, f.status);
    add("confidence", false, Style::asIs, f.confidence);
    add("type", true, Style::asIs, f.sourceType);
    add("origin", true, Style::asIs, f.sourceOrigin);
    add("audio_path", true, Style::asIs, f.audioPath);
    if (f.audioDurationSec)
        add("audio_duration_sec", true, Style::asIs, std::to_string(*f.audioDurationSec));
    add("ingestion_tool", true, Style::asIs, f.ingestionTool);
    addOptional("external_id", true, Style::quoted, f.externalId);
    addOptional("wl_job_status", true, Style::asIs, f.wlJobStatus);
    addDate("uploaded_at", true, f.uploadedAt);
    addOptional("app", true, Style::quoted, f.recorderSource);
    addOptional("microphone", true, Style::quoted, f.recorderMicrophone);
    addOptional("channel_layout", true, Style::quoted, f.recorderChannelLayout);
    addOptional("target_skill", false, Style::asIs, f.targetSkill);
    addOptional("target_folder", false, Style::quoted, f.targetFolder);
    addOptional("title", false, Style::quoted, f.title);
    if (!f.tags.empty()) e.push_back({"tags", false, Style::list, {}, f.tags});
    addDate("processed_at", false, f.processedAt);
    addOptional("processed_by", false, Style::asIs, f.processedBy);
    addOptional("output_file", false, Style::quoted, f.outputFile);
    addOptional("archived_to", false, Style::quoted, f.archivedTo);
    return e;
}

// Only the internet date-time form: "2025-03-14T08:30:12Z" or with a "+01:00" offset.
std::optional<core::TimePoint> parseInternetDate(const std::string& text) {
    static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd";
    if (text.size() < kShape.size() + 1) return std::nullopt;
    for (size_t i = 0; i < kShape.size(); ++i) {
        char c = text[i];
        if (kShape[i] == 'd' ? !(c >= '0' && c <= '9') : c != kShape[i]) return std::nullopt;
    }
    std::string_view zone = std::string_view(text).substr(kShape.size());
    bool offset = zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':';
    if (zone != "Z" && !offset) return std::nullopt;
    return core::parseIso8601(text);
}

std::optional<int64_t> parseInteger(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

void setDate(std::optional<core::TimePoint>& field, const std::string& value) {
    if (auto t = parseInternetDate(value)) field = *t;
}

void readSourceKey(InboxWriter::Frontmatter& f, std::string_view key, const std::string& value) {
    if (key == "type")
        f.sourceType = value;
    else if (key == "origin")
        f.sourceOrigin = value;
    else if (key == "audio_path")
        f.audioPath = value;
    else if (key == "audio_duration_sec")
        f.audioDurationSec = parseInteger(value);
    else if (key == "ingestion_tool")
        f.ingestionTool = value;
    else if (key == "external_id")
        f.externalId = value;
    else if (key == "wl_job_status")
        f.wlJobStatus = value;
    else if (key == "uploaded_at")
        setDate(f.uploadedAt, value);
    else if (key == "app")
        f.recorderSource = value;
    else if (key == "microphone")
        f.recorderMicrophone = value;
    else if (key == "channel_layout")
        f.recorderChannelLayout = value;
}

void readTopLevelKey(InboxWriter::Frontmatter& f, std::string_view key, const std::string& value) {
    if (key == "id")
        f.id = value;
    else if (key == "created") {
        if (auto t = parseInternetDate(value)) f.created = *t;
    } else if (key == "classification")
        f.classification = value;
    else if (key == "status")
        f.status = value;
    else if (key == "confidence")
        f.confidence = value;
    else if (key == "target_skill")
        f.targetSkill = value;
    else if (key == "target_folder")
        f.targetFolder = value;
    else if (key == "title")
        f.title = value;
    else if (key == "tags")
        f.tags = InboxWriter::parseInlineList(value);
    else if (key == "processed_at")
        setDate(f.processedAt, value);
    else if (key == "processed_by")
        f.processedBy = value;
    else if (key == "output_file")
        f.outputFile = value;
    else if (key == "archived_to")
        f.archivedTo = value;
}

// Byte offset after the first three code points (or the end of a shorter text).
size_t afterThreeCharacters(std::string_view text) {
    size_t i = 0;
    for (int k = 0; k < 3 && i < text.size(); ++k) {
        ++i;
        while (i < text.size() && (uint8_t(text[i]) & 0xC0) == 0x80) ++i;
    }
    return i;
}

void validateId(const std::string& id) {
    if (id.empty() || id == "." || id == ".." || id.find('/') != std::string::npos ||
        id.find('\0') != std::string::npos)
        throw Error(fmt::format("invalid capture id \"{}\"", id));
}

std::string tempName(const std::string& name) {
    static std::atomic<unsigned> counter{0};
    return fmt::format(".{}.{}.{}.tmp", name, ::getpid(), counter.fetch_add(1));
}

void copyFileContents(const fs::path& source, const fs::path& target) {
    int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (in < 0) throw FileError(fmt::format("cannot read {}", source.string()), errno);
    struct stat st {};
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        throw Error(fmt::format("{} is not a regular file", source.string()));
    }
    int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
        int e = errno;
        ::close(in);
        throw FileError(fmt::format("cannot create {}", target.string()), e);
    }
    std::vector<char> buffer(1 << 20);
    std::string failure;
    int error = 0;
    for (;;) {
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = errno, failure = "cannot read " + source.string();
            break;
        }
        if (n == 0) break;
        for (ssize_t done = 0; done < n && !error;) {
            ssize_t w = ::write(out, buffer.data() + done, size_t(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0)
                error = errno, failure = "cannot write " + target.string();
            else
                done += w;
        }
        if (error) break;
    }
    if (!error && ::fsync(out) != 0) error = errno, failure = "cannot write " + target.string();
    ::close(in);
    if (::close(out) != 0 && !error) error = errno, failure = "cannot write " + target.string();
    if (error) {
        ::unlink(target.c_str());
        throw FileError(failure, error);
    }
}

void syncFolder(const fs::path& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Moves `temp` to `target` unless `target` exists; `temp` is gone afterwards either way.
void moveUnlessExists(const fs::path& temp, const fs::path& target) {
    int rc = ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
        // The file system cannot rename without replacing: a hard link refuses to replace too.
        rc = ::link(temp.c_str(), target.c_str());
        if (rc != 0 && errno != EEXIST) {
            std::error_code ec;
            rc = fs::exists(fs::symlink_status(target, ec))
                     ? (errno = EEXIST, -1)
                     : ::rename(temp.c_str(), target.c_str());
        }
    }
    int e = errno;
    ::unlink(temp.c_str());
    if (rc != 0 && e != EEXIST)
        throw FileError(fmt::format("cannot create {}", target.string()), e);
}

}  // namespace

InboxWriter::InboxWriter(const fs::path& vaultRoot, core::Clock& clock)
    : root_(core::expandTilde(vaultRoot.string())), clock_(&clock) {}

fs::path InboxWriter::inboxDir() const {
    return root_ / "_inbox";
}
fs::path InboxWriter::audioDir() const {
    return inboxDir() / ".audio";
}
fs::path InboxWriter::notePath(const std::string& id) const {
    validateId(id);
    return inboxDir() / (id + ".md");
}
fs::path InboxWriter::audioPath(const std::string& id) const {
    validateId(id);
    return audioDir() / (id + ".m4a");
}
std::string InboxWriter::relativeAudioPath(const std::string& id) {
    return "_inbox/.audio/" + id + ".m4a";
}

void InboxWriter::ensureDirectories() const {
    for (const fs::path& dir : {inboxDir(), audioDir()}) {
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec) throw FileError(fmt::format("cannot create {}", dir.string()), ec.value());
    }
}

fs::path InboxWriter::copyAudio(const fs::path& source, const std::string& id) const {
    fs::path target = audioPath(id);
    ensureDirectories();
    std::error_code ec;
    if (fs::exists(fs::symlink_status(target, ec))) return target;
    fs::path temp = audioDir() / tempName(id + ".m4a");
    copyFileContents(source, temp);
    moveUnlessExists(temp, target);
    syncFolder(audioDir());
    return target;
}

bool InboxWriter::refreshAudio(const fs::path& source, const std::string& id) const {
    fs::path target = audioPath(id);
    struct stat src {
    }, dst{};
    if (::stat(source.c_str(), &src) != 0 || ::lstat(target.c_str(), &dst) != 0) return false;
    auto newer = [](const struct timespec& a, const struct timespec& b) {
        return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
    };
    if (src.st_size == dst.st_size && !newer(src.st_mtim, dst.st_mtim)) return false;
    fs::path temp = audioDir() / tempName(id + ".m4a");
    copyFileContents(source, temp);
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        int e = errno;
        ::unlink(temp.c_str());
        throw FileError(fmt::format("cannot replace {}", target.string()), e);
    }
    syncFolder(audioDir());
    return true;
}

std::string InboxWriter::yamlString(std::string_view value) {
    bool needsQuotes = value.empty() || value.find_first_of(":#\"") != std::string_view::npos ||
                       value.front() == ' ' || value.back() == ' ' ||
                       std::find(kReservedWords.begin(), kReservedWords.end(), lowerAscii(value)) !=
                           kReservedWords.end();
    if (!needsQuotes) return std::string(value);
    std::string escaped(value);
    replaceAll(escaped, "\\", "\\\\");
    replaceAll(escaped, "\"", "\\\"");
    return "\"" + escaped + "\"";
}

std::string InboxWriter::renderMarkdown(const Frontmatter& frontmatter, std::string_view body) {
    std::string text = "---\n";
    bool sourceOpened = false;
    for (const Entry& e : entries(frontmatter)) {
        if (e.inSource && !sourceOpened) {
            text += "source:\n";
            sourceOpened = true;
        }
        if (e.inSource) text += "  ";
        text += e.key;
        text += ": ";
        switch (e.style) {
            case Style::asIs:
                text += e.value;
                break;
            case Style::quoted:
                text += yamlString(e.value);
                break;
            case Style::list: {
                std::vector<std::string> quoted;
                for (auto& item : e.items) quoted.push_back(yamlString(item));
                text += "[" + join(quoted, ", ") + "]";
                break;
            }
        }
        text += "\n";
    }
    text += "---\n\n";
    text += body;
    return text;
}

std::vector<InboxWriter::Field> InboxWriter::fields(const Frontmatter& frontmatter) {
    std::vector<Field> out;
    for (const Entry& e : entries(frontmatter)) {
        std::string key = (e.inSource ? "source." : "") + std::string(e.key);
        out.push_back({key, e.style == Style::list ? "[" + join(e.items, ", ") + "]" : e.value});
    }
    return out;
}

void InboxWriter::writeMarkdown(const Frontmatter& frontmatter, std::string_view body,
                                bool durable) const {
    if (durable)
        core::writeDurably(notePath(frontmatter.id), renderMarkdown(frontmatter, body));
    else
        core::writeAtomically(notePath(frontmatter.id), renderMarkdown(frontmatter, body), 0644);
}

std::optional<std::string> InboxWriter::extractFrontmatter(std::string_view text) {
    if (!text.starts_with("---")) return std::nullopt;
    size_t close = text.find("\n---", 3);
    if (close == std::string_view::npos) return std::nullopt;
    return std::string(trimWhitespace(text.substr(3, close - 3)));
}

std::string InboxWriter::unquote(std::string_view value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        std::string inner(value.substr(1, value.size() - 2));
        replaceAll(inner, "\\\"", "\"");
        replaceAll(inner, "\\\\", "\\");
        return inner;
    }
    if (value == "null" || value == "~") return "";
    return std::string(value);
}

std::vector<std::string> InboxWriter::parseInlineList(std::string_view value) {
    std::vector<std::string> items;
    if (value.size() < 2 || value.front() != '[' || value.back() != ']') return items;
    std::string_view inner = value.substr(1, value.size() - 2);
    for (size_t start = 0;;) {
        size_t comma = inner.find(',', start);
        std::string item = unquote(trimWhitespace(inner.substr(start, comma - start)));
        if (!item.empty()) items.push_back(std::move(item));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return items;
}

InboxWriter::Frontmatter InboxWriter::parseFrontmatter(std::string_view block,
                                                       core::TimePoint now) {
    Frontmatter f;
    f.created = now;
    bool sawSource = false;
    for (size_t start = 0; start <= block.size();) {
        size_t end = std::min(block.find('\n', start), block.size());
        std::string_view raw = block.substr(start, end - start);
        start = end + 1;
        bool indented = raw.starts_with("  ");
        std::string_view line = trimWhitespace(raw);
        size_t colon = line.find(':');
        if (line.empty() || colon == std::string_view::npos) continue;
        std::string_view key = trimWhitespace(line.substr(0, colon));
        std::string value = unquote(trimWhitespace(line.substr(colon + 1)));
        if (!indented && key == "source") {
            sawSource = true;
        } else if (indented && sawSource) {
            readSourceKey(f, key, value);
        } else {
            readTopLevelKey(f, key, value);
        }
    }
    return f;
}

std::string InboxWriter::bodyOf(std::string_view text) {
    size_t close = text.find("\n---", afterThreeCharacters(text));
    if (close == std::string_view::npos) return std::string(text);
    return std::string(dropLeadingLineBreaks(text.substr(close + 4)));
}

std::string InboxWriter::readText(const fs::path& file) const {
    auto text = core::readFile(file);
    if (!text) throw FileError(fmt::format("cannot read {}", file.string()), errno);
    if (!isValidUtf8(*text)) throw Error(fmt::format("{} is not UTF-8 text", file.string()));
    return std::move(*text);
}

InboxWriter::Frontmatter InboxWriter::readFrontmatter(const fs::path& file) const {
    auto block = extractFrontmatter(readText(file));
    if (!block) throw Error("no frontmatter block");
    return parseFrontmatter(*block, clock_->now());
}

std::string InboxWriter::readBody(const fs::path& file) const {
    return bodyOf(readText(file));
}

void InboxWriter::updateWLJobStatus(const std::string& id, const std::string& status) const {
    fs::path file = notePath(id);
    Frontmatter frontmatter;
    std::string body;
    try {
        std::string text = readText(file);
        auto block = extractFrontmatter(text);
        if (!block) return;
        frontmatter = parseFrontmatter(*block, clock_->now());
        body = bodyOf(text);
    } catch (const std::exception&) {
        return;
    }
    if (frontmatter.wlJobStatus == status) return;
    frontmatter.wlJobStatus = status;
    // The note is rewritten where it was read, even if its frontmatter names another id.
    core::writeAtomically(file, renderMarkdown(frontmatter, body), 0644);
}

std::vector<InboxWriter::Note> InboxWriter::readableNotes() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(inboxDir(), ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        auto name = it->path().filename().string();
        if (!name.starts_with(".") && name.ends_with(".md")) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    std::vector<Note> notes;
    for (auto& name : names) {
        try {
            notes.push_back({name.substr(0, name.size() - 3), readFrontmatter(inboxDir() / name)});
        } catch (const std::exception&) {
            // not a note this writer can read
        }
    }
    return notes;
}

}  // namespace sayloft::vault
