#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>

#include "core/clock.hpp"
#include "core/text.hpp"
#include "core/time_format.hpp"
#include "test_support.hpp"
#include "vault/inbox_writer.hpp"

using namespace sayloft;
using namespace sayloft::vault;
using core::repairUtf8;
using Frontmatter = InboxWriter::Frontmatter;
namespace fs = std::filesystem;

namespace sayloft::vault {
void PrintTo(const InboxWriter::Frontmatter& f, std::ostream* out) {
    *out << "\n" << InboxWriter::renderMarkdown(f, "");
}
}  // namespace sayloft::vault

namespace {

core::TimePoint at(const std::string& iso) {
    return *core::parseIso8601(iso);
}

Frontmatter stub(const std::string& id) {
    Frontmatter f;
    f.id = id;
    f.created = at("2025-03-14T08:30:12Z");
    f.audioPath = InboxWriter::relativeAudioPath(id);
    return f;
}

// Writes a note and reads it back through the file.
struct RoundTrip {
    test::TempDir dir;
    core::ManualClock clock;
    InboxWriter writer{dir.path(), clock};

    std::pair<Frontmatter, std::string> operator()(const Frontmatter& f, const std::string& body) {
        writer.writeMarkdown(f, body);
        auto path = writer.notePath(f.id);
        return {writer.readFrontmatter(path), writer.readBody(path)};
    }
};

}  // namespace

TEST(InboxWriter, RendersTheFixedFormatByteForByte) {
    Frontmatter f = stub("250314-093012");
    EXPECT_EQ(InboxWriter::renderMarkdown(f, ""),
              "---\n"
              "id: 250314-093012\n"
              "created: 2025-03-14T08:30:12Z\n"
              "classification: voice_memo\n"
              "status: pending\n"
              "confidence: high\n"
              "source:\n"
              "  type: audio\n"
              "  origin: voice_memo\n"
              "  audio_path: _inbox/.audio/250314-093012.m4a\n"
              "  ingestion_tool: sayloft-mac\n"
              "target_skill: /transcript\n"
              "---\n"
              "\n");

    f.classification = "meeting_recording";
    f.sourceOrigin = "sayloft_recorder";
    f.audioDurationSec = 3725;
    f.externalId = "ck_1,2";
    f.wlJobStatus = "done";
    f.uploadedAt = at("2025-03-14T08:31:00Z");
    f.recorderSource = "Zoom: Meeting";
    f.recorderMicrophone = "MacBook Pro Microphone";
    f.recorderChannelLayout = "L=mic R=system";
    f.targetSkill.reset();
    f.targetFolder = "Projects/#1";
    f.title = "Plan: Q2";
    f.tags = {"a", "b c", ""};
    f.processedAt = at("2025-03-15T10:00:00+02:00");
    f.processedBy = "skill";
    f.outputFile = "out.md";
    f.archivedTo = "yes";
    EXPECT_EQ(InboxWriter::renderMarkdown(f, "Hello.\nBye."),
              "---\n"
              "id: 250314-093012\n"
              "created: 2025-03-14T08:30:12Z\n"
              "classification: meeting_recording\n"
              "status: pending\n"
              "confidence: high\n"
              "source:\n"
              "  type: audio\n"
              "  origin: sayloft_recorder\n"
              "  audio_path: _inbox/.audio/250314-093012.m4a\n"
              "  audio_duration_sec: 3725\n"
              "  ingestion_tool: sayloft-mac\n"
              "  external_id: ck_1,2\n"
              "  wl_job_status: done\n"
              "  uploaded_at: 2025-03-14T08:31:00Z\n"
              "  app: \"Zoom: Meeting\"\n"
              "  microphone: MacBook Pro Microphone\n"
              "  channel_layout: L=mic R=system\n"
              "target_folder: \"Projects/#1\"\n"
              "title: \"Plan: Q2\"\n"
              "tags: [a, b c, \"\"]\n"
              "processed_at: 2025-03-15T08:00:00Z\n"
              "processed_by: skill\n"
              "output_file: out.md\n"
              "archived_to: \"yes\"\n"
              "---\n"
              "\n"
              "Hello.\nBye.");
}

TEST(InboxWriter, QuotesOnlyWhatTheRuleNames) {
    for (auto [value, written] : std::vector<std::pair<std::string, std::string>>{
             {"a,b [c] {d} 'e' back\\slash", "a,b [c] {d} 'e' back\\slash"},
             {"two\nlines", "two\nlines"},
             {"", "\"\""},
             {"a:b", "\"a:b\""},
             {"#tag", "\"#tag\""},
             {" lead", "\" lead\""},
             {"trail ", "\"trail \""},
             {"say \"hi\" \\o/", "\"say \\\"hi\\\" \\\\o/\""},
             {"yess", "yess"}})
        EXPECT_EQ(InboxWriter::yamlString(value), written) << value;
    for (auto word : {"y", "N", "Yes", "no", "ON", "off", "True", "false", "NULL", "~"})
        EXPECT_EQ(InboxWriter::yamlString(word), "\"" + std::string(word) + "\"") << word;
    EXPECT_EQ(repairUtf8("ok \xe6\x97"), "ok \xef\xbf\xbd");
}

TEST(InboxWriter, EdgeCasesRoundTrip) {
    RoundTrip trip;
    Frontmatter f = stub("250314-093012");
    f.title = "Plan: \"Q2\" C:\\dir";
    f.tags = {"a", "b c", ""};
    f.externalId = "x,y";
    f.targetFolder = " leading blank";
    auto text = InboxWriter::renderMarkdown(f, "");
    EXPECT_NE(text.find("title: \"Plan: \\\"Q2\\\" C:\\\\dir\"\n"), std::string::npos);
    EXPECT_NE(text.find("tags: [a, b c, \"\"]\n"), std::string::npos);
    EXPECT_NE(text.find("  external_id: x,y\n"), std::string::npos);

    auto [back, body] = trip(f, "\n\n\nFirst line.\n\nSecond.\n");
    EXPECT_EQ(back.title, f.title);
    EXPECT_EQ(back.tags, (std::vector<std::string>{"a", "b c"}));
    EXPECT_EQ(back.externalId, "x,y");
    EXPECT_EQ(back.targetFolder, " leading blank");
    EXPECT_EQ(body, "First line.\n\nSecond.\n");

    f.title = "yes";
    EXPECT_NE(InboxWriter::renderMarkdown(f, "").find("title: \"yes\"\n"), std::string::npos);
    EXPECT_EQ(trip(f, "").first.title, "yes");
}

TEST(InboxWriter, ReaderFollowsTheDialect) {
    core::ManualClock clock;
    auto parse = [&](const std::string& block) {
        return InboxWriter::parseFrontmatter(block, clock.now());
    };
    // A non-indented key after "source:" is top-level again; indented keys stay in the source.
    auto f = parse("source:\n  app: Zoom\ntitle: T\n  origin: o\n  title: not top\nid: 1");
    EXPECT_EQ(f.recorderSource, "Zoom");
    EXPECT_EQ(f.title, "T");
    EXPECT_EQ(f.sourceOrigin, "o");
    EXPECT_EQ(f.id, "1");
    // Indented lines before any "source:" line are top-level.
    EXPECT_EQ(parse("  title: early\n  app: x").title, "early");
    EXPECT_FALSE(parse("  title: early\n  app: x").recorderSource);

    // Malformed values leave the defaults; unknown keys and lines without a colon are ignored.
    auto m = parse(
        "created: yesterday\nsource:\n  audio_duration_sec: 12s\n  uploaded_at: "
        "2025-03-14T08:30:12.5Z\nfoo: bar\njust text\nstatus: done\r");
    EXPECT_EQ(m.created, clock.now());
    EXPECT_FALSE(m.audioDurationSec);
    EXPECT_FALSE(m.uploadedAt);
    EXPECT_EQ(m.status, "done");
    EXPECT_EQ(parse("source:\n  audio_duration_sec: -7").audioDurationSec, -7);
    EXPECT_EQ(parse("created: 2025-03-14T09:30:12+01:00").created, at("2025-03-14T08:30:12Z"));
    EXPECT_EQ(parse("processed_by: null\ntarget_skill: ~").processedBy, "");
    EXPECT_EQ(parse("target_skill: ~").targetSkill, "");

    EXPECT_EQ(InboxWriter::unquote("\"a \\\"b\\\" c\\\\d\""), "a \"b\" c\\d");
    EXPECT_EQ(InboxWriter::unquote("bare \\\\ \\\""), "bare \\\\ \\\"");
    EXPECT_EQ(InboxWriter::unquote("\""), "\"");
    EXPECT_EQ(InboxWriter::unquote("\"null\""), "null");
    EXPECT_EQ(InboxWriter::parseInlineList("[ a , \"b, c\" ,, \"\" ]"),
              (std::vector<std::string>{"a", "\"b", "c\""}));
    EXPECT_TRUE(InboxWriter::parseInlineList("a, b").empty());
    EXPECT_TRUE(InboxWriter::parseInlineList("[]").empty());

    EXPECT_EQ(InboxWriter::extractFrontmatter("---\n  id: 1\n\n---\nbody"), "id: 1");
    EXPECT_EQ(InboxWriter::extractFrontmatter("---\n---\n"), "");
    EXPECT_FALSE(InboxWriter::extractFrontmatter("id: 1\n---\n"));
    EXPECT_FALSE(InboxWriter::extractFrontmatter("---\nid: 1\n"));
    EXPECT_EQ(InboxWriter::bodyOf("---\nid: 1\n---\n\r\n\xe2\x80\xa8\nText\n"), "Text\n");
    EXPECT_EQ(InboxWriter::bodyOf("no fence here"), "no fence here");
}

TEST(InboxWriter, ReadFailuresAreErrors) {
    test::TempDir dir;
    InboxWriter writer(dir.path());
    test::writeFile(dir / "plain.md", "Just text.\n");
    test::writeFile(dir / "latin1.md", "---\nid: caf\xe9\n---\n");
    try {
        writer.readFrontmatter(dir / "plain.md");
        FAIL();
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "no frontmatter block");
    }
    EXPECT_EQ(writer.readBody(dir / "plain.md"), "Just text.\n");
    EXPECT_THROW(writer.readFrontmatter(dir / "latin1.md"), Error);
    EXPECT_THROW(writer.readFrontmatter(dir / "missing.md"), Error);
    for (auto bad : {"", "..", "a/b", "../x"}) EXPECT_THROW(writer.notePath(bad), Error) << bad;
}

TEST(InboxWriter, CopyAudioNeverReplaces) {
    test::TempDir dir;
    InboxWriter writer(dir / "vault");
    test::writeFile(dir / "memo.wav", "RIFF....WAVEfmt first");
    test::writeFile(dir / "other.wav", "RIFF....WAVEfmt second");

    auto dest = writer.copyAudio(dir / "memo.wav", "250314-093012");
    EXPECT_EQ(dest, dir / "vault/_inbox/.audio/250314-093012.m4a");
    EXPECT_EQ(test::readFile(dest), "RIFF....WAVEfmt first");
    EXPECT_EQ(writer.copyAudio(dir / "other.wav", "250314-093012"), dest);
    EXPECT_EQ(test::readFile(dest), "RIFF....WAVEfmt first");

    EXPECT_THROW(writer.copyAudio(dir / "missing.wav", "250314-093013"), Error);
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(writer.audioDir()))
        names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"250314-093012.m4a"});
    EXPECT_NO_THROW(writer.ensureDirectories());
}

TEST(InboxWriter, JobStatusUpdateKeepsBodyAndSkipsUnchanged) {
    test::TempDir dir;
    InboxWriter writer(dir.path());
    Frontmatter f = stub("250314-093012");
    f.wlJobStatus = "queued";
    writer.writeMarkdown(f, "The transcript.");
    auto path = writer.notePath(f.id);
    auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    fs::last_write_time(path, old);

    writer.updateWLJobStatus(f.id, "queued");
    EXPECT_EQ(fs::last_write_time(path), old);

    writer.updateWLJobStatus(f.id, "completed");
    EXPECT_EQ(writer.readFrontmatter(path).wlJobStatus, "completed");
    EXPECT_EQ(writer.readBody(path), "The transcript.");
    f.wlJobStatus = "completed";
    EXPECT_EQ(test::readFile(path), InboxWriter::renderMarkdown(f, "The transcript."));

    // A missing or unreadable note is left alone without an error.
    EXPECT_NO_THROW(writer.updateWLJobStatus("250314-000000", "failed"));
    EXPECT_FALSE(fs::exists(writer.notePath("250314-000000")));
    test::writeFile(writer.notePath("nofm"), "no frontmatter");
    EXPECT_NO_THROW(writer.updateWLJobStatus("nofm", "failed"));
    EXPECT_EQ(test::readFile(writer.notePath("nofm")), "no frontmatter");
}

// Everything the format can represent reads back unchanged: values that go through the quoting
// rule may hold anything but line breaks; verbatim values must not look quoted, be null or ~,
// or have blanks at their ends; tags may not hold commas.
TEST(InboxWriter, PropertyEveryRepresentableValueRoundTrips) {
    // clang-format off
    static const std::vector<std::string> pieces = {
        "a", "Z", "7", " ", "  ", ":", ": ", "#", "\"", "\\", "\\\"", "\"\\", "[", "]", "{", "}",
        ",", "'", "-", "---", "yes", "No", "null", "~", "TRUE", "off", "y", "\xc3\xa9",
        "\xe6\x97\xa5\xe6\x9c\xac", "\xf0\x9f\x8e\x99\xef\xb8\x8f", "e\xcc\x81", "&", "*", "!",
        "|", ">", "%", "@", "`", "$x", "\t"};
    // clang-format on
    static const std::vector<std::string> reserved = {"y",    "n",     "yes",  "no", "on",  "off",
                                                      "true", "false", "null", "~",  "Yes", "NULL"};
    std::mt19937 rng(20250314);
    auto pick = [&](const std::vector<std::string>& from) {
        return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(rng)];
    };
    auto chance = [&](int percent) {
        return std::uniform_int_distribution<int>(0, 99)(rng) < percent;
    };
    // Tabs stay inside values: at the ends of a bare value they would be trimmed.
    auto inner = [](std::string s) {
        if (s.starts_with('\t')) s.insert(0, "t");
        if (s.ends_with('\t')) s += "t";
        return s;
    };
    auto any = [&] {
        if (chance(15)) return pick(reserved);
        std::string s;
        for (int n = std::uniform_int_distribution<int>(0, 8)(rng); n > 0; --n) s += pick(pieces);
        return s;
    };
    auto anyInner = [&] { return inner(any()); };
    auto verbatim = [&] {
        if (chance(10)) return pick({"yes", "Off", "TRUE", ""});
        return "v" + any() + "v";
    };
    auto maybe = [&](auto make) -> std::optional<std::string> {
        return chance(70) ? std::optional(make()) : std::nullopt;
    };
    auto date = [&] {
        return core::TimePoint{} + std::chrono::seconds(std::uniform_int_distribution<int64_t>(
                                       946684800, 2208988800)(rng));
    };

    RoundTrip trip;
    for (int i = 0; i < 1500; ++i) {
        Frontmatter f;
        f.id = "250314-" + std::to_string(100000 + i);
        f.created = date();
        f.classification = verbatim();
        f.status = verbatim();
        f.confidence = verbatim();
        f.sourceType = verbatim();
        f.sourceOrigin = verbatim();
        f.audioPath = verbatim();
        if (chance(50))
            f.audioDurationSec = std::uniform_int_distribution<int64_t>(INT64_MIN, INT64_MAX)(rng);
        f.ingestionTool = verbatim();
        f.externalId = maybe(anyInner);
        f.wlJobStatus = maybe(verbatim);
        if (chance(50)) f.uploadedAt = date();
        f.recorderSource = maybe(anyInner);
        f.recorderMicrophone = maybe(anyInner);
        f.recorderChannelLayout = maybe(anyInner);
        f.targetSkill = maybe(verbatim);
        f.targetFolder = maybe(anyInner);
        f.title = maybe(anyInner);
        for (int n = std::uniform_int_distribution<int>(0, 4)(rng); n > 0; --n) {
            std::string tag = any();
            std::erase(tag, ',');
            if (!tag.empty()) f.tags.push_back(inner(tag));
        }
        if (chance(50)) f.processedAt = date();
        f.processedBy = maybe(verbatim);
        f.outputFile = maybe(anyInner);
        f.archivedTo = maybe(anyInner);
        std::string body = chance(50) ? "" : "Body " + any() + "\n---\nmore";

        auto [back, readBody] = trip(f, body);
        // A note without target_skill reads back the default, like every other missing key.
        if (!f.targetSkill) f.targetSkill = "/transcript";
        ASSERT_EQ(back, f);
        ASSERT_EQ(readBody, body);
    }
}

TEST(InboxWriter, FifosAndOtherNonRegularFilesAreRefusedWithoutBlocking) {
    test::TempDir vault;
    InboxWriter writer(vault.path());
    writer.ensureDirectories();
    Frontmatter note;
    note.id = "250314-093012";
    writer.writeMarkdown(note, "body", /*durable=*/true);
    // No writer ever opens these: a blocking open would hang the test.
    ASSERT_EQ(::mkfifo((writer.inboxDir() / "evil.md").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((vault / "source.m4a").c_str(), 0600), 0);
    auto notes = writer.readableNotes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].id, "250314-093012");
    EXPECT_THROW(writer.readFrontmatter(writer.inboxDir() / "evil.md"), std::exception);
    EXPECT_THROW(writer.copyAudio(vault / "source.m4a", "x"), std::exception);
    EXPECT_FALSE(fs::exists(writer.audioPath("x")));
    for (auto& e : fs::directory_iterator(writer.audioDir()))
        ADD_FAILURE() << "left behind: " << e.path();
}
