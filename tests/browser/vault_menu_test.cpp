#include <gtest/gtest.h>

#include <ctime>

#include "browser/vault_menu.hpp"
#include "browser_test_support.hpp"
#include "core/time_format.hpp"

using namespace sayloft;
using namespace sayloft::browser;
namespace fs = std::filesystem;

namespace {

// Runs a test body in a given time zone.
class InZone {
  public:
    explicit InZone(const char* zone) : tz_("TZ", zone) { tzset(); }
    ~InZone() { tzset(); }

  private:
    test::ScopedEnv tz_;
};

core::TimePoint at(const char* text) {
    return core::parseLocal(text, "yyyyMMddHHmm").value();
}

FileEntry entry(const std::string& relativePath, core::TimePoint modified,
                std::optional<core::TimePoint> created = std::nullopt) {
    FileEntry e;
    e.relativePath = relativePath;
    e.filename = lastComponent(relativePath);
    e.parentFolder = parentName(relativePath);
    e.fullPath = "/vault/" + relativePath;
    e.modificationDate = modified;
    e.creationDate = created.value_or(modified);
    return e;
}

std::vector<std::string> titles(const std::vector<MenuItem>& items) {
    std::vector<std::string> out;
    for (auto& i : items) out.push_back(i.kind == MenuItem::Kind::divider ? "----" : i.title);
    return out;
}

settings::AppSettings defaults() {
    auto s = settings::AppSettings::defaults();
    s.vaultPath = "/vault";
    return s;
}

}  // namespace

TEST(VaultMenu, DaysFollowTheLocalCalendarAndTheTimeBasis) {
    InZone zone("America/New_York");
    // 23:59 and 00:01 local are different days though only minutes (and the same UTC day) apart;
    // the night the clocks go forward is one day too.
    std::vector<FileEntry> files = {
        entry("a.md", at("202403092359")), entry("b.md", at("202403100001")),
        entry("c.md", at("202403102330")), entry("d.md", at("202403100300"))};
    auto groups = groupByDay(files, settings::TimeBasis::modification);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].date, at("202403100000"));
    std::vector<std::string> newestFirst;
    for (auto& f : groups[0].files) newestFirst.push_back(f.filename);
    EXPECT_EQ(newestFirst, (std::vector<std::string>{"c.md", "d.md", "b.md"}));
    EXPECT_EQ(formatDayLabel(groups[0].date, at("202403102359")), "Today");
    EXPECT_EQ(formatDayLabel(groups[1].date, at("202403100000")), "Yesterday");
    EXPECT_EQ(formatDayLabel(groups[1].date, at("202403110000")), "Mar 9");

    // Created Monday, modified Tuesday: "either" dates it Tuesday.
    auto e = entry("x.md", at("202501071000"), at("202501061000"));
    EXPECT_EQ(groupByDay({e}, settings::TimeBasis::either)[0].date, at("202501070000"));
    EXPECT_EQ(groupByDay({e}, settings::TimeBasis::creation)[0].date, at("202501060000"));
}

TEST(VaultMenu, ThresholdsAndTheDayLimit) {
    auto s = defaults();
    auto now = at("202501311200");
    std::vector<FileEntry> inbox;
    for (int i = 0; i < 15; ++i)
        inbox.push_back(entry("_inbox/n" + std::to_string(i) + ".md", now));
    VaultMenu menu(s, now);
    EXPECT_EQ(menu.specialFolderRows(inbox, 15).size(), 15u) << "a threshold equal to N is flat";
    inbox.push_back(entry("_inbox/extra.md", now - std::chrono::hours(24)));
    EXPECT_EQ(titles(menu.specialFolderRows(inbox, 15)),
              (std::vector<std::string>{"Today (15)", "Yesterday (1)"}));
    std::vector<FileEntry> two = {inbox[0], inbox[1]};
    EXPECT_EQ(menu.specialFolderRows(two, 0).size(), 1u) << "below 1 counts as 1: grouped";
    EXPECT_EQ(menu.specialFolderRows(two, -5).size(), 1u);

    // Eleven days with the default limit of ten: the eleventh sits under Older, by month.
    std::vector<FileEntry> days;
    for (int d = 0; d < 11; ++d)
        days.push_back(
            entry("_inbox/d" + std::to_string(d) + ".md", addDays(at("202501250900"), -d * 3)));
    auto rows = menu.specialFolderRows(days, 1);
    ASSERT_EQ(rows.size(), 11u);
    EXPECT_EQ(rows[0].title, "Jan 25 (1)");
    EXPECT_EQ(rows[10].title, "Older (1)");
    ASSERT_EQ(rows[10].children.size(), 1u);
    EXPECT_EQ(rows[10].children[0].title, "December 2024");
    EXPECT_EQ(titles(rows[10].children[0].children), std::vector<std::string>{"Dec 26 (1)"});
}

TEST(VaultMenu, TodayGroupsByFolderWithTopLevelFilesUnderRoot) {
    auto s = defaults();
    s.todayGroupThreshold = 2;
    auto now = at("202501311200");
    FileScanner::Lists lists;
    lists.today = {entry("top.md", now), entry("b/x.md", now), entry("a/y.md", now),
                   entry("b/z.md", now)};
    auto vault = VaultMenu(s, now).vaultSubmenu(lists);
    EXPECT_EQ(titles(vault.children),
              (std::vector<std::string>{"Today (4)", "Outbox (0)", "Inbox (0)", "Handoff (0)",
                                        "Recent (7 days)", "----", "Search Vault..."}));
    EXPECT_EQ(titles(vault.children[0].children), (std::vector<std::string>{"b", "(root)", "a"}));
    lists.today.clear();
    EXPECT_EQ(titles(VaultMenu(s, now).vaultSubmenu(lists).children[0].children),
              std::vector<std::string>{"No files created today"});
}

TEST(VaultMenu, OutboxDeliveriesWithAndWithoutManifest) {
    test::TempDir dir;
    auto s = defaults();
    s.vaultPath = dir.path().string();
    s.outboxGroupThreshold = 1;
    auto now = at("202601101200");
    auto out = dir.path() / "_outbox";
    fs::create_directories(out / "260105-offer");
    test::writeFile(out / "260105-offer" / "_manifest.md",
                    "# Delivery\n**Status:** sent\n**Kanal:**   \n**Kontakt:** Ada\n"
                    "**Status:** draft\n**\xC3\x84mne:** Offer for spring\nnot a field\n");
    std::vector<FileEntry> files = {
        entry("_outbox/260105-offer/offer.pdf", now),
        entry("_outbox/260105-offer/_manifest.md", now),
        entry("_outbox/260105-offer/appendix.md", now),
        entry("_outbox/letters/note.md", at("202601081000")),
        entry("_outbox/loose.md", now),
    };
    for (auto& f : files) f.fullPath = (dir.path() / f.relativePath).string();

    auto groups = groupByDeliveryFolder(files);
    ASSERT_EQ(groups.size(), 3u);
    EXPECT_EQ(groups[0].folder, "(loose)");
    EXPECT_EQ(groups[1].folder, "letters");  // by name, descending
    auto days = outboxDays(groups, settings::TimeBasis::modification);
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(days[0].date, at("202601080000"));  // letters: its newest file's day
    EXPECT_EQ(days[1].date, at("202601050000"));  // from the name

    auto rows = VaultMenu(s, now).vaultSubmenu({{}, {}, files, {}, {}}).children[1].children;
    EXPECT_EQ(titles(rows), (std::vector<std::string>{"(loose) (1)", "Jan 8 (1)", "Jan 5 (3)"}));
    auto offer = rows[2].children[0];
    EXPECT_EQ(offer.title, "260105-offer (2) \xC2\xB7 sent");
    EXPECT_EQ(titles(offer.children),
              (std::vector<std::string>{"Ada \xC2\xB7 Offer for spring", "Open folder",
                                        "Open manifest", "Mail all files (2)", "----",
                                        "appendix.md  \xE2\x80\x94  260105-offer",
                                        "offer.pdf  \xE2\x80\x94  260105-offer"}));
    EXPECT_EQ(offer.children[3].subject, "Offer for spring");
    EXPECT_EQ(offer.children[3].paths.size(), 2u);
    // Without a manifest: no summary line and no "Open manifest".
    auto letters = rows[1].children[0];
    EXPECT_EQ(titles(letters.children),
              (std::vector<std::string>{"Open folder", "Mail all files (1)", "----",
                                        "note.md  \xE2\x80\x94  letters"}));
    auto fields = manifestFields(out / "260105-offer");
    EXPECT_EQ(fields.count("Kanal"), 0u);
    EXPECT_EQ(fields["Status"], "sent");

    // At or below the threshold: each file and its "Mail" row.
    s.outboxGroupThreshold = 15;
    auto flat = VaultMenu(s, now).vaultSubmenu({{}, {}, {files[4]}, {}, {}}).children[1];
    EXPECT_EQ(titles(flat.children),
              (std::vector<std::string>{"loose.md  \xE2\x80\x94  _outbox", "Mail loose.md"}));
}
