#include <gtest/gtest.h>

#include <filesystem>

#include "core/process.hpp"
#include "core/time_format.hpp"
#include "test_support.hpp"
#include "vault/inbox_writer.hpp"

using namespace sayloft;
namespace fs = std::filesystem;

namespace {

core::ProcessResult sayloftCli(const std::vector<std::string>& args) {
    core::ProcessOptions o;
    o.argv = {SAYLOFT_CLI};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    return core::runProcess(o);
}

}  // namespace

TEST(NoteShowCommand, PrintsFieldsAsReadBackThenTheBody) {
    test::TempDir dir;
    vault::InboxWriter writer(dir.path());
    vault::InboxWriter::Frontmatter f;
    f.id = "250314-093012";
    f.created = *core::parseIso8601("2025-03-14T08:30:12Z");
    f.title = "Plan: \"Q2\"";
    f.wlJobStatus = "done";
    writer.writeMarkdown(f, "\nThe transcript.");

    auto shown = sayloftCli({"note", "show", writer.notePath(f.id).string()});
    EXPECT_EQ(shown.exitStatus, 0);
    EXPECT_EQ(shown.out,
              "id: 250314-093012\ncreated: 2025-03-14T08:30:12Z\nclassification: voice_memo\n"
              "status: pending\nconfidence: high\nsource.type: audio\n"
              "source.origin: voice_memo\nsource.audio_path: \n"
              "source.ingestion_tool: sayloft-mac\nsource.wl_job_status: done\n"
              "target_skill: /transcript\ntitle: Plan: \"Q2\"\n\nThe transcript.\n");

    test::writeFile(dir / "plain.md", "Just text.\n");
    auto plain = sayloftCli({"note", "show", (dir / "plain.md").string()});
    EXPECT_EQ(plain.exitStatus, 1);
    EXPECT_EQ(plain.out, "");
    EXPECT_EQ(plain.err, "no frontmatter block\n");
}
