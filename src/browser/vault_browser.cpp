#include "browser/vault_browser.hpp"

#include <fmt/format.h>

#include <future>

#include "browser/search_index.hpp"
#include "browser/trash.hpp"
#include "browser/vault_menu.hpp"
#include "core/log.hpp"
#include "core/places.hpp"
#include "core/text.hpp"
#include "core/time_format.hpp"

namespace sayloft::browser {

namespace fs = std::filesystem;
using core::Json;

namespace {

// A search request only lists; what the window does with a file is not asked of it.
class ListingOnly : public FileActions {
  public:
    bool open(const std::string&) override { return false; }
    bool reveal(const std::string&) override { return false; }
    bool mail(const std::vector<std::string>&, const std::string&) override { return false; }
    std::string convertToPdf(const std::string&) override {
        throw ActionError("Converting is not offered here.");
    }
    void trash(const std::string& path) override { moveToTrash(path); }
};

settings::AppSettings snapshot(const settings::Settings& settings) {
    auto guard = settings.lock();
    return settings.settings();
}

// One line per path, whatever the name holds.
std::string printable(std::string_view text) {
    std::string out = core::repairUtf8(text);
    for (auto& c : out) {
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    }
    return out;
}

// What a front-end shows of the lists: which files, in which list, with which dates.
size_t fingerprintOf(const FileScanner::Lists& lists) {
    size_t seed = 0;
    for (auto* list : {&lists.today, &lists.recent, &lists.outbox, &lists.inbox, &lists.handoff})
        seed = fingerprint(*list, seed);
    return seed;
}

std::string printMode(const Json& params) {
    if (!params.is_object() || !params.contains("print") || !params["print"].is_string()) return {};
    return params["print"].get<std::string>();
}

}  // namespace

VaultBrowser::VaultBrowser(settings::Settings& settings, core::Clock& clock, core::MainQueue& main,
                           FileScanner::Options options)
    : settings_(settings), clock_(clock), main_(main), scanner_(settings, clock, main, options) {
    scanner_.setOnChange([this] { listsPublished(); });
}

VaultBrowser::~VaultBrowser() {
    stop();
}

void VaultBrowser::start() {
    scanner_.start();
}

void VaultBrowser::stop() {
    scanner_.stop();
}

void VaultBrowser::settingsChanged() {
    {
        std::lock_guard lock(mutex_);
        everyFile_.reset();
    }
    scanner_.settingsChanged();
}

void VaultBrowser::setOnChange(std::function<void()> onChange) {
    std::lock_guard lock(mutex_);
    onChange_ = std::move(onChange);
}

void VaultBrowser::listsPublished() {
    size_t now = fingerprintOf(scanner_.lists());
    std::function<void()> onChange;
    {
        std::lock_guard lock(mutex_);
        if (published_ && now == fingerprint_) return;
        published_ = true;
        fingerprint_ = now;
        everyFile_.reset();
        onChange = onChange_;
    }
    if (onChange) onChange();
}

void VaultBrowser::flushMain() {
    std::promise<void> done;
    auto future = done.get_future();
    main_.async([&done] { done.set_value(); });
    future.wait();
}

FileScanner::Lists VaultBrowser::currentLists() {
    if (!scanner_.isRunning()) {
        // No timer keeps the lists fresh: one refresh now.
        scanner_.refreshNow(true);
        flushMain();
        return scanner_.lists();
    }
    flushMain();
    if (!scanner_.hasLists()) {
        // Neither a cache nor a finished refresh yet: the first one is waited for.
        scanner_.waitIdle();
        flushMain();
        if (!scanner_.hasLists()) {
            scanner_.refreshNow(true);
            flushMain();
        }
    }
    return scanner_.lists();
}

std::vector<MenuItem> VaultBrowser::menuRows() {
    auto lists = currentLists();
    auto vault = VaultMenu(snapshot(settings_), clock_.now()).vaultSubmenu(lists);
    // The five lists; the search item belongs to the window, not to this listing.
    return {vault.children.begin(), vault.children.begin() + 5};
}

Json VaultBrowser::menu() {
    return {{"items", menuJson(menuRows())}};
}

std::vector<FileEntry> VaultBrowser::searchEntries(const std::string& query, size_t limit,
                                                   bool everyFile) {
    auto lists = currentLists();
    std::optional<std::vector<FileEntry>> all;
    if (everyFile) {
        {
            std::lock_guard lock(mutex_);
            all = everyFile_;
        }
        if (!all) {
            all = scanner_.scanAllFiles();
            std::lock_guard lock(mutex_);
            everyFile_ = all;
        }
    }
    ListingOnly actions;
    SearchIndex index(SearchIndex::Sources{[&lists] { return lists; }, {}}, settings_, actions);
    if (everyFile) index.setFullIndex(std::move(*all));
    index.setDeepSearch(everyFile);
    index.setQuery(query);
    auto results = index.results();
    if (limit > 0 && results.size() > limit) results.resize(limit);
    return results;
}

Json VaultBrowser::search(const std::string& query, size_t limit, bool everyFile) {
    Json results = Json::array();
    for (auto& f : searchEntries(query, limit, everyFile)) results.push_back(toJson(f));
    return {{"query", core::repairUtf8(query)}, {"results", std::move(results)}};
}

bool VaultBrowser::handles(const std::string& method) {
    return method == "menu" || method == "search" || method == "trash" || method == "refresh";
}

Json VaultBrowser::handle(const std::string& method, const Json& params,
                          const BrowserOutput& output) {
    const std::string print = printMode(params);
    auto text = [&](const char* key) {
        return params.is_object() && params.contains(key) && params[key].is_string()
                   ? params[key].get<std::string>()
                   : std::string();
    };
    Json answer;
    if (method == "menu") {
        auto rows = menuRows();
        answer = {{"items", menuJson(rows)}};
        if (print == "json") output.out(answer.dump(2));
        if (print == "text") {
            auto rendered = renderMenuText(rows);
            if (!rendered.empty() && rendered.back() == '\n') rendered.pop_back();
            output.out(rendered);
        }
    } else if (method == "search") {
        size_t limit = 0;
        if (params.is_object() && params.contains("limit") && params["limit"].is_number_integer())
            limit = size_t(std::max<int64_t>(params["limit"].get<int64_t>(), 0));
        bool everyFile = params.is_object() && params.value("all", false);
        auto query = text("query");
        if (print == "text") {
            auto basis = snapshot(settings_).effectiveTimeBasis();
            for (auto& f : searchEntries(query, limit, everyFile))
                output.out(core::formatLocal(fileDate(f, basis), "yyyy-MM-dd HH:mm") + "  " +
                           printable(f.fullPath));
            answer = Json::object();
        } else {
            answer = search(query, limit, everyFile);
            if (print == "json") output.out(answer.dump(2));
        }
    } else if (method == "trash") {
        answer = trashListedFile(settings_, text("path"), clock_.now());
        if (answer.value("ok", false)) {
            if (print == "text")
                output.out("Moved to the trash: " +
                           printable(answer["trashedTo"].get<std::string>()));
            // The file leaves the lists with the next refresh, made now.
            scanner_.refresh(true);
        }
        answer["exitCode"] = answer.value("ok", false) ? 0 : 1;
        return answer;
    } else if (method == "refresh") {
        // Answers once the new lists are in; subscribers hear of a change by the vault event.
        scanner_.refreshNow(true);
        flushMain();
    } else {
        output.err("unknown request \"" + method + "\"");
        return {{"exitCode", 2}};
    }
    // What was printed is not sent twice.
    if (!print.empty()) answer = Json::object();
    answer["exitCode"] = 0;
    return answer;
}

bool insideListedFolders(const settings::Settings& settings, const fs::path& path) {
    std::vector<fs::path> roots = settings.additionalPaths();
    auto vault = snapshot(settings).vaultPath;
    if (!vault.empty()) roots.insert(roots.begin(), core::expandTilde(vault));
    std::error_code ec;
    fs::path file = fs::weakly_canonical(fs::absolute(path, ec), ec);
    for (auto& root : roots) {
        fs::path r = fs::weakly_canonical(root, ec);
        auto rel = file.lexically_relative(r);
        if (!rel.empty() && *rel.begin() != ".." && rel != ".") return true;
    }
    return false;
}

Json trashListedFile(const settings::Settings& settings, const std::string& path,
                     core::TimePoint now) {
    if (path.empty()) return {{"ok", false}, {"error", "Which file? Give its path."}};
    if (!insideListedFolders(settings, path)) {
        return {{"ok", false},
                {"error", printable(path) +
                              " is not in the vault or a workspace folder; nothing was moved"}};
    }
    try {
        auto trashed = moveToTrash(path, now);
        core::log("scanner", "moved to the trash: {}", core::repairUtf8(path));
        return {{"ok", true}, {"trashedTo", core::repairUtf8(trashed.file.string())}};
    } catch (const std::exception& e) {
        return {{"ok", false}, {"error", std::string(e.what())}};
    }
}

}  // namespace sayloft::browser
