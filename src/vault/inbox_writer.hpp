#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.hpp"
#include "core/error.hpp"

namespace sayloft::vault {

// Lays out a capture's files in the vault and reads and writes its note:
//   <vault>/_inbox/<id>.md          the note: YAML frontmatter, then the transcript
//   <vault>/_inbox/.audio/<id>.m4a  the audio
// The frontmatter is a small fixed dialect shared with other tools that file these notes away:
// key names, their order and the quoting rule must not change.
class InboxWriter {
  public:
    struct Frontmatter {
        std::string id;
        core::TimePoint created = core::systemClock().now();
        std::string classification = "voice_memo";
        std::string status = "pending";
        std::string confidence = "high";
        std::string sourceType = "audio";
        std::string sourceOrigin = "voice_memo";
        std::string audioPath;
        std::optional<int64_t> audioDurationSec;
        std::string ingestionTool = "sayloft-mac";
        std::optional<std::string> externalId;
        std::optional<std::string> wlJobStatus;
        std::optional<core::TimePoint> uploadedAt;
        std::optional<std::string> recorderSource;
        std::optional<std::string> recorderMicrophone;
        std::optional<std::string> recorderChannelLayout;
        std::optional<std::string> targetSkill = "/transcript";
        std::optional<std::string> targetFolder;
        std::optional<std::string> title;
        std::vector<std::string> tags;
        std::optional<core::TimePoint> processedAt;
        std::optional<std::string> processedBy;
        std::optional<std::string> outputFile;
        std::optional<std::string> archivedTo;

        bool operator==(const Frontmatter&) const = default;
    };

    // One frontmatter line as read back: its key ("source.type" for keys under "source:") and
    // its value without quoting. Tags read "[a, b c]".
    struct Field {
        std::string key;
        std::string value;
    };

    // A leading "~" in `vaultRoot` is expanded. `clock` gives "now" for a note without a
    // creation date.
    explicit InboxWriter(const std::filesystem::path& vaultRoot,
                         core::Clock& clock = core::systemClock());

    const std::filesystem::path& vaultRoot() const { return root_; }
    std::filesystem::path inboxDir() const;
    std::filesystem::path audioDir() const;
    // "_inbox/<id>.md" and "_inbox/.audio/<id>.m4a" below the vault. An id that is empty,
    // "." or "..", or holds "/" or a NUL byte, throws: it could leave the inbox.
    std::filesystem::path notePath(const std::string& id) const;
    std::filesystem::path audioPath(const std::string& id) const;
    // The vault-relative audio path recorded in a note: "_inbox/.audio/<id>.m4a".
    static std::string relativeAudioPath(const std::string& id);

    // Creates "_inbox/" and "_inbox/.audio/"; succeeds if they exist.
    void ensureDirectories() const;
    // Copies `source` to "_inbox/.audio/<id>.m4a" unless a file is already there (then it is
    // kept untouched). A partial copy never appears under the final name; the copy is on stable
    // storage when this returns. Only regular files are copied (never blocking on a FIFO).
    std::filesystem::path copyAudio(const std::filesystem::path& source,
                                    const std::string& id) const;
    // Copies `source` again over the audio when its size differs from the copy's or it was
    // modified after the copy was made. Returns whether it copied.
    bool refreshAudio(const std::filesystem::path& source, const std::string& id) const;
    // Writes "_inbox/<frontmatter.id>.md" atomically, replacing any existing note; `durable`
    // flushes it (and the folder) to stable storage before returning.
    void writeMarkdown(const Frontmatter& frontmatter, std::string_view body,
                       bool durable = false) const;
    static std::string renderMarkdown(const Frontmatter& frontmatter, std::string_view body);

    // Throws when the file cannot be read or is not UTF-8, and "no frontmatter block" when the
    // text has none. Malformed values keep their defaults.
    Frontmatter readFrontmatter(const std::filesystem::path& file) const;
    std::string readBody(const std::filesystem::path& file) const;
    // Sets the job status of an existing note, keeping its body. A note that cannot be read is
    // left alone without an error; an unchanged status writes nothing.
    void updateWLJobStatus(const std::string& id, const std::string& status) const;

    // Every note in "_inbox/" whose frontmatter reads, with its id (the file name without
    // ".md"), in name order; hidden files and unreadable notes are left out.
    struct Note {
        std::string id;
        Frontmatter frontmatter;
    };
    std::vector<Note> readableNotes() const;

    // The fields a reader sees, in the order the writer puts them.
    static std::vector<Field> fields(const Frontmatter& frontmatter);

    // Reader helpers.
    static std::optional<std::string> extractFrontmatter(std::string_view text);
    static Frontmatter parseFrontmatter(std::string_view block, core::TimePoint now);
    static std::string bodyOf(std::string_view text);
    static std::string unquote(std::string_view value);
    static std::vector<std::string> parseInlineList(std::string_view value);
    // The quoting rule for values that need it.
    static std::string yamlString(std::string_view value);

  private:
    std::string readText(const std::filesystem::path& file) const;

    std::filesystem::path root_;
    core::Clock* clock_;
};

}  // namespace sayloft::vault
