#include <gtest/gtest.h>

#include <mutex>

#include "browser/file_actions.hpp"
#include "browser/search_index.hpp"
#include "browser/trash.hpp"
#include "browser_test_support.hpp"
#include "core/places.hpp"
#include "core/time_format.hpp"
#include "fake_notification_server.hpp"
#include "platform/linux/bus_loop.hpp"
#include "platform_fakes.hpp"

using namespace sayloft;
using namespace sayloft::browser;
namespace fs = std::filesystem;

namespace {

FileEntry entry(const std::string& relativePath, int age, Source source = Source::vault) {
    FileEntry e;
    e.relativePath = relativePath;
    e.filename = lastComponent(relativePath);
    e.parentFolder = parentName(relativePath);
    e.fullPath = "/vault/" + relativePath;
    e.modificationDate = e.creationDate = core::TimePoint{} + std::chrono::hours(1'000'000 - age);
    e.source = source;
    return e;
}

std::vector<std::string> names(const std::vector<FileEntry>& files) {
    std::vector<std::string> out;
    for (auto& f : files) out.push_back(f.filename);
    return out;
}

// A file manager on a private session bus that records what it was asked to show.
class FakeFileManager {
  public:
    explicit FakeFileManager(const std::string& address) : loop_(address) {
        loop_.withBus([this](sd_bus* bus) {
            static const sd_bus_vtable table[] = {
                SD_BUS_VTABLE_START(0),
                SD_BUS_METHOD("ShowItems", "ass", "", showItems, SD_BUS_VTABLE_UNPRIVILEGED),
                SD_BUS_VTABLE_END,
            };
            platform::dbus::check(
                sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/FileManager1",
                                         "org.freedesktop.FileManager1", table, this),
                nullptr, "add object");
            platform::dbus::check(sd_bus_request_name(bus, "org.freedesktop.FileManager1", 0),
                                  nullptr, "request name");
        });
    }
    std::vector<std::string> shown() const {
        std::lock_guard lock(mutex_);
        return shown_;
    }

  private:
    static int showItems(sd_bus_message* m, void* data, sd_bus_error*) {
        auto* self = static_cast<FakeFileManager*>(data);
        char** uris = nullptr;
        const char* startup = nullptr;
        int r = sd_bus_message_read_strv(m, &uris);
        if (r < 0) return r;
        r = sd_bus_message_read(m, "s", &startup);
        {
            std::lock_guard lock(self->mutex_);
            for (char** u = uris; u && *u; ++u) self->shown_.push_back(*u);
        }
        for (char** u = uris; u && *u; ++u) free(*u);
        free(uris);
        if (r < 0) return r;
        return sd_bus_reply_method_return(m, "");
    }

    mutable std::mutex mutex_;
    std::vector<std::string> shown_;
    platform::dbus::BusLoop loop_;
};

struct SearchSetup {
    test::TempHome home;
    settings::Settings store{home.path() / "settings.json"};
    platform::FakeOpener opener;
    DesktopFileActions actions{opener, std::nullopt};
    FileScanner::Lists lists;
    std::vector<FileEntry> everything;
    int fullScans = 0;

    SearchIndex index() {
        return SearchIndex({[this] { return lists; },
                            [this] {
                                ++fullScans;
                                return everything;
                            }},
                           store, actions);
    }
};

}  // namespace

TEST(SearchIndex, QueriesFiltersAndOrder) {
    SearchSetup s;
    s.lists.today = {entry("Clients/Acme/240506-kickoff.md", 1), entry("notes/config.yaml", 2),
                     entry("CLAUDE.md", 3), entry("budget.xlsx", 4), entry("data.csv", 5)};
    s.lists.recent = {entry("Acme-old/plan.md", 10), entry("notes/sheet.ods", 11)};
    s.lists.inbox = {entry("_inbox/250101-093000.md", 0, Source::inbox),
                     entry("Clients/Acme/240506-kickoff.md", 1, Source::inbox)};
    auto index = s.index();
    EXPECT_EQ(index.indexFileCount(), 8u) << "one entry per full path";
    EXPECT_EQ(names(index.results()),
              (std::vector<std::string>{"250101-093000.md", "240506-kickoff.md", "budget.xlsx",
                                        "data.csv", "plan.md", "sheet.ods"}))
        << "newest first; configuration-like files hidden";

    index.setQuery("  acme KICKOFF ");  // folder word and name word, in any case
    EXPECT_EQ(names(index.results()), std::vector<std::string>{"240506-kickoff.md"});
    index.setQuery("acme");
    EXPECT_EQ(names(index.results()), (std::vector<std::string>{"240506-kickoff.md", "plan.md"}));

    index.setQuery("");
    index.setHideSystemFiles(false);
    EXPECT_EQ(index.results().size(), 8u);
    index.setHideSystemFiles(true);
    index.setChip("xls", true);
    EXPECT_EQ(names(index.results()),
              (std::vector<std::string>{"budget.xlsx", "data.csv", "sheet.ods"}));
    index.setChip("xls", false);
    index.setScope(SearchIndex::Scope::inbox);
    EXPECT_EQ(names(index.results()), std::vector<std::string>{"250101-093000.md"});

    index.setScope(SearchIndex::Scope::all);
    index.moveUp();
    EXPECT_EQ(index.selectedIndex(), 0u);
    for (int i = 0; i < 10; ++i) index.moveDown();
    EXPECT_EQ(index.selectedIndex(), index.results().size() - 1);
}

TEST(SearchIndex, EmptyQueryShowsTheNewest500AndDeepSearchUsesTheFullIndex) {
    SearchSetup s;
    for (int i = 0; i < 700; ++i)
        s.everything.push_back(entry("all/f" + std::to_string(i) + ".md", i));
    s.everything.push_back(entry("_inbox/stale.md", 0, Source::inbox));
    s.lists.recent = {entry("r.md", 5000)};
    s.lists.inbox = {entry("_inbox/current.md", 0, Source::inbox)};
    auto index = s.index();
    EXPECT_EQ(index.results().size(), 1u + 1u);
    index.setDeepSearch(true);
    EXPECT_EQ(s.fullScans, 1);
    ASSERT_EQ(index.results().size(), SearchIndex::kMaxResults);
    EXPECT_EQ(index.results()[0].filename, "f0.md");
    index.setQuery("stale");
    EXPECT_EQ(index.results().size(), 1u) << "loaded before the structure lists were merged";
    // A scanner change replaces the structure entries of the full index.
    index.rebuildIndex();
    index.search();
    EXPECT_TRUE(index.results().empty());
    index.setQuery("current");
    EXPECT_EQ(index.results().size(), 1u);
    index.reset();
    EXPECT_FALSE(index.isDeepSearch());
    EXPECT_EQ(index.results().size(), 2u);
}

TEST(SearchIndex, FolderModeListsTheRealFolder) {
    SearchSetup s;
    fs::path folder = s.home.path() / "vault" / "Clients";
    test::writeFile(folder / "b.md", "b");
    test::writeFile(folder / "A.md", "a");
    test::writeFile(folder / ".hidden.md", "h");
    fs::create_directories(folder / "sub");
    test::setMtime(folder / "A.md", core::SystemClock::now() - std::chrono::hours(5));
    FileEntry e = entry("Clients/b.md", 0);
    e.fullPath = (folder / "b.md").string();
    s.lists.today = {e};
    auto index = s.index();
    index.drillIntoFolder();
    EXPECT_EQ(index.folderPath(), "Clients");
    EXPECT_EQ(names(index.visible()), (std::vector<std::string>{"b.md", "A.md"}));
    EXPECT_EQ(index.visible()[1].relativePath, "Clients/A.md");
    index.setFolderSortByName(true);
    EXPECT_EQ(names(index.visible()), (std::vector<std::string>{"A.md", "b.md"}));
    index.exitFolderMode();
    EXPECT_FALSE(index.folderPath());
    EXPECT_FALSE(index.folderSortByName());
    EXPECT_EQ(names(index.visible()), std::vector<std::string>{"b.md"});
}

TEST(Trash, DeletedFilesLandInTheHomeTrashWithoutOverwriting) {
    SearchSetup s;
    fs::path one = s.home.path() / "vault" / "a" / "same 100%.md";
    fs::path two = s.home.path() / "vault" / "b" / "same 100%.md";
    test::writeFile(one, "first");
    test::writeFile(two, "second");
    FileEntry e = entry("a/same 100%.md", 0);
    e.fullPath = one.string();
    s.lists.today = {e};
    auto index = s.index();
    index.deleteSelected();
    EXPECT_TRUE(index.results().empty());
    EXPECT_FALSE(fs::exists(one));

    auto trashed = moveToTrash(two, core::parseLocal("20250314093012", "yyyyMMddHHmmss").value());
    fs::path trash = core::xdgDataHome() / "Trash";
    EXPECT_EQ(test::readFile(trash / "files" / "same 100%.md"), "first");
    EXPECT_EQ(trashed.file, trash / "files" / "same 100%.2.md");
    EXPECT_EQ(test::readFile(trashed.file), "second");
    EXPECT_EQ(test::readFile(trash / "info" / "same 100%.2.md.trashinfo"),
              "[Trash Info]\nPath=" + fileUrl(two.string()).substr(7) +
                  "\nDeletionDate=2025-03-14T09:30:12\n");
    EXPECT_NE(test::readFile(trash / "info" / "same 100%.md.trashinfo").find("%25.md\n"),
              std::string::npos);

    EXPECT_THROW(moveToTrash(two), TrashError);  // already gone
    EXPECT_EQ(std::distance(fs::directory_iterator(trash / "info"), fs::directory_iterator()), 2);
}

TEST(FileActions, RevealAsksTheFileManagerElseOpensTheFolder) {
    std::unique_ptr<test::PrivateBus> bus;
    try {
        bus = std::make_unique<test::PrivateBus>();
    } catch (const test::BusUnavailable& e) {
        GTEST_SKIP() << e.what();
    }
    test::ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", bus->address());
    platform::FakeOpener opener;
    DesktopFileActions actions(opener, std::nullopt);
    test::LogCollector log;
    EXPECT_TRUE(actions.reveal("/vault/it's here.md"));
    EXPECT_EQ(opener.opened(), std::vector<std::string>{"/vault"});

    FakeFileManager manager(bus->address());
    EXPECT_TRUE(actions.reveal("/vault/it's here.md"));
    EXPECT_EQ(manager.shown(), std::vector<std::string>{"file:///vault/it%27s%20here.md"});
    EXPECT_EQ(opener.opened().size(), 1u);
}

TEST(FileActions, MailAttachesThroughXdgEmailAndPdfNeedsAConverter) {
    test::TempDir dir;
    test::FakeBin bin;
    auto args = bin.dir() / "args";
    bin.add("xdg-email",
            "#!/bin/sh\nfor a; do printf '%s\\n' \"$a\" >> '" + args.string() + "'; done\n");
    platform::FakeOpener opener;
    DesktopFileActions actions(opener, std::nullopt);
    EXPECT_TRUE(actions.mail({"/v/a b.md", "-x.md"}, "Offer"));
    EXPECT_EQ(test::readFile(args), "--subject\nOffer\n--attach\n/v/a b.md\n--attach\n./-x.md\n");
    EXPECT_THROW(actions.convertToPdf("/v/a.md"), ActionError);

    // A converter that writes its output: the PDF lands beside the note, never over another.
    test::writeFile(dir / "note.md", "# Hi");
    test::writeFile(dir / "note.pdf", "older");
    DesktopFileActions converting(opener, PdfConverter{{"cp", "{in}", "{out}"}});
    EXPECT_EQ(converting.convertToPdf((dir / "note.md").string()), (dir / "note-2.pdf").string());
    EXPECT_EQ(test::readFile(dir / "note.pdf"), "older");
}
