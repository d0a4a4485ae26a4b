#include "browser/vault_menu.hpp"

#include <algorithm>
#include <ctime>

#include <fmt/format.h>

#include "browser/file_classifier.hpp"
#include "core/files.hpp"
#include "core/places.hpp"
#include "core/text.hpp"

namespace sayloft::browser {

namespace fs = std::filesystem;

namespace {

constexpr const char* kMonths[] = {"January",   "February", "March",    "April",
                                   "May",       "June",     "July",     "August",
                                   "September", "October",  "November", "December"};

std::tm localTm(core::TimePoint t) {
    std::time_t s = std::chrono::floor<std::chrono::seconds>(t.time_since_epoch()).count();
    std::tm tm{};
    localtime_r(&s, &tm);
    return tm;
}

core::TimePoint startOfMonth(core::TimePoint t) {
    std::tm tm = localTm(t);
    tm.tm_mday = 1;
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    tm.tm_isdst = -1;
    return core::TimePoint{std::chrono::seconds(std::mktime(&tm))};
}

std::string counted(const std::string& name, size_t count) {
    return fmt::format("{} ({})", name, count);
}

std::string firstComponent(const std::string& path) {
    auto slash = path.find('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string expandedVault(const settings::AppSettings& s) {
    return s.vaultPath.empty() ? "" : core::expandTilde(s.vaultPath);
}

}  // namespace

std::vector<DayGroup> groupByDay(const std::vector<FileEntry>& files, settings::TimeBasis basis) {
    std::map<core::TimePoint, std::vector<FileEntry>> byDay;
    for (auto& f : files) byDay[startOfDay(fileDate(f, basis))].push_back(f);
    std::vector<DayGroup> groups;
    for (auto it = byDay.rbegin(); it != byDay.rend(); ++it) {
        sortNewestFirst(it->second, basis);
        groups.push_back({it->first, std::move(it->second)});
    }
    return groups;
}

std::vector<FolderGroup> groupByFolder(const std::vector<FileEntry>& files) {
    std::map<std::string, std::vector<FileEntry>> byFolder;
    for (auto& f : files) {
        std::string folder = firstComponent(f.relativePath);
        byFolder[folder.empty() ? kRootFolder : folder].push_back(f);
    }
    std::vector<FolderGroup> groups;
    for (auto& [folder, list] : byFolder) groups.push_back({folder, std::move(list)});
    std::stable_sort(groups.begin(), groups.end(), [](const FolderGroup& a, const FolderGroup& b) {
        if (a.files.size() != b.files.size()) return a.files.size() > b.files.size();
        return a.folder < b.folder;
    });
    return groups;
}

std::vector<FolderGroup> groupByDeliveryFolder(const std::vector<FileEntry>& files) {
    std::map<std::string, std::vector<FileEntry>> byFolder;
    for (auto& f : files) {
        std::string rel = f.relativePath;
        if (rel.rfind("_outbox/", 0) == 0) rel = rel.substr(8);
        std::string folder = firstComponent(rel);
        byFolder[folder.empty() ? kLooseFolder : folder].push_back(f);
    }
    std::vector<FolderGroup> groups;
    if (auto loose = byFolder.find(kLooseFolder); loose != byFolder.end()) {
        groups.push_back({loose->first, std::move(loose->second)});
        byFolder.erase(loose);
    }
    for (auto it = byFolder.rbegin(); it != byFolder.rend(); ++it)
        groups.push_back({it->first, std::move(it->second)});
    return groups;
}

std::vector<OutboxDay> outboxDays(const std::vector<FolderGroup>& groups,
                                  settings::TimeBasis basis) {
    std::vector<OutboxDay> days;
    for (auto& g : groups) {
        if (g.folder == kLooseFolder) continue;
        // The "yyMMdd" the folder's name starts with, else its newest file's date.
        core::TimePoint date{};
        bool dated = false;
        if (g.folder.size() >= 6) {
            if (auto named = FileClassifier::parseFilenameDate(g.folder.substr(0, 6) + "-")) {
                date = *named;
                dated = true;
            }
        }
        for (size_t i = 0; !dated && i < g.files.size(); ++i) {
            auto d = fileDate(g.files[i], basis);
            if (i == 0 || d > date) date = d;
            if (i + 1 == g.files.size()) dated = true;
        }
        if (!dated) continue;
        auto day = startOfDay(date);
        auto it = std::find_if(days.begin(), days.end(),
                               [&](const OutboxDay& d) { return d.date == day; });
        if (it == days.end()) {
            days.push_back({day, {g}});
        } else {
            it->folders.push_back(g);
        }
    }
    std::stable_sort(days.begin(), days.end(),
                     [](const OutboxDay& a, const OutboxDay& b) { return a.date > b.date; });
    return days;
}

std::string formatDayLabel(core::TimePoint date, core::TimePoint now) {
    auto today = startOfDay(now);
    auto day = startOfDay(date);
    if (day == today) return "Today";
    if (day == addDays(today, -1)) return "Yesterday";
    std::tm tm = localTm(date);
    return fmt::format("{} {}", std::string(kMonths[tm.tm_mon]).substr(0, 3), tm.tm_mday);
}

std::string formatMonthLabel(core::TimePoint date) {
    std::tm tm = localTm(date);
    return fmt::format("{} {}", kMonths[tm.tm_mon], tm.tm_year + 1900);
}

std::map<std::string, std::string> manifestFields(const fs::path& folder) {
    std::map<std::string, std::string> fields;
    auto text = core::readFile(folder / "_manifest.md");
    if (!text) return fields;
    size_t start = 0;
    while (start <= text->size()) {
        size_t end = text->find('\n', start);
        if (end == std::string::npos) end = text->size();
        std::string_view line(text->data() + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        start = end + 1;
        if (line.substr(0, 2) != "**") continue;
        auto close = line.find(":**");
        if (close == std::string_view::npos || close < 2) continue;
        std::string key(line.substr(2, close - 2));
        std::string value(core::trimWhitespace(line.substr(close + 3)));
        if (key.empty() || value.empty()) continue;
        fields.emplace(key, value);  // the first occurrence wins
    }
    return fields;
}

std::string fileButtonTitle(const FileEntry& e) {
    std::string detail = e.domain && e.fileType ? *e.domain + " / " + *e.fileType
                         : e.domain             ? *e.domain
                                                : e.parentFolder;
    return e.filename + "  \xE2\x80\x94  " + detail;
}

MenuItem MenuItem::line(std::string title) {
    MenuItem m;
    m.kind = Kind::line;
    m.title = std::move(title);
    return m;
}

MenuItem MenuItem::divider() {
    MenuItem m;
    m.kind = Kind::divider;
    return m;
}

MenuItem MenuItem::submenu(std::string title, std::vector<MenuItem> children) {
    MenuItem m;
    m.kind = Kind::submenu;
    m.title = std::move(title);
    m.children = std::move(children);
    return m;
}

MenuItem MenuItem::command(std::string title, Action action, std::vector<std::string> paths) {
    MenuItem m;
    m.kind = Kind::action;
    m.title = std::move(title);
    m.action = action;
    m.paths = std::move(paths);
    return m;
}

MenuItem fileButton(const FileEntry& entry) {
    return MenuItem::command(fileButtonTitle(entry), MenuItem::Action::openFile, {entry.fullPath});
}

VaultMenu::VaultMenu(const settings::AppSettings& settings, core::TimePoint now)
    : settings_(settings),
      basis_(settings.effectiveTimeBasis()),
      now_(now),
      vault_(expandedVault(settings)) {}

std::vector<MenuItem> VaultMenu::dayMenus(
    const std::vector<core::TimePoint>& days, const std::function<size_t(size_t)>& count,
    const std::function<std::vector<MenuItem>(size_t)>& content) const {
    size_t limit = size_t(settings_.effectiveMenuDayLimit());
    std::vector<MenuItem> rows;
    auto daySubmenu = [&](size_t i) {
        return MenuItem::submenu(counted(formatDayLabel(days[i], now_), count(i)), content(i));
    };
    for (size_t i = 0; i < days.size() && i < limit; ++i) rows.push_back(daySubmenu(i));
    if (days.size() <= limit) return rows;
    size_t older = 0;
    std::vector<MenuItem> months;
    core::TimePoint currentMonth{};
    for (size_t i = limit; i < days.size(); ++i) {
        older += count(i);
        auto month = startOfMonth(days[i]);
        if (months.empty() || month != currentMonth) {
            months.push_back(MenuItem::submenu(formatMonthLabel(days[i]), {}));
            currentMonth = month;
        }
        months.back().children.push_back(daySubmenu(i));
    }
    rows.push_back(MenuItem::submenu(counted("Older", older), std::move(months)));
    return rows;
}

std::vector<MenuItem> VaultMenu::specialFolderRows(const std::vector<FileEntry>& files,
                                                   int threshold) const {
    std::vector<MenuItem> rows;
    if (size_t(std::max(threshold, 1)) >= files.size()) {
        for (auto& f : files) rows.push_back(fileButton(f));
        return rows;
    }
    auto groups = groupByDay(files, basis_);
    std::vector<core::TimePoint> days;
    for (auto& g : groups) days.push_back(g.date);
    return dayMenus(
        days, [&](size_t i) { return groups[i].files.size(); },
        [&](size_t i) {
            std::vector<MenuItem> items;
            for (auto& f : groups[i].files) items.push_back(fileButton(f));
            return items;
        });
}

std::vector<MenuItem> VaultMenu::todayRows(const std::vector<FileEntry>& files) const {
    std::vector<MenuItem> rows;
    if (files.empty()) {
        rows.push_back(MenuItem::line("No files created today"));
        return rows;
    }
    if (files.size() <= size_t(settings_.groupThreshold(settings_.todayGroupThreshold))) {
        for (auto& f : files) rows.push_back(fileButton(f));
        return rows;
    }
    for (auto& g : groupByFolder(files)) {
        std::vector<MenuItem> items;
        for (auto& f : g.files) items.push_back(fileButton(f));
        rows.push_back(MenuItem::submenu(g.folder, std::move(items)));
    }
    return rows;
}

MenuItem VaultMenu::deliverySubmenu(const FolderGroup& group) const {
    fs::path folder = fs::path(vault_) / "_outbox";
    if (group.folder != kLooseFolder) folder /= group.folder;
    std::vector<FileEntry> content;
    for (auto& f : group.files) {
        if (f.filename.empty() || f.filename[0] == '_' || f.filename == "README.md") continue;
        content.push_back(f);
    }
    std::stable_sort(content.begin(), content.end(), [](const FileEntry& a, const FileEntry& b) {
        return a.filename < b.filename;
    });
    auto fields = group.folder == kLooseFolder ? std::map<std::string, std::string>{}
                                               : manifestFields(folder);
    std::string title = counted(group.folder, content.size());
    if (auto s = fields.find("Status"); s != fields.end()) title += " \xC2\xB7 " + s->second;

    std::vector<MenuItem> items;
    std::string summary;
    for (const char* key : {"Kanal", "Kontakt", "\xC3\x84mne"}) {
        auto it = fields.find(key);
        if (it == fields.end()) continue;
        if (!summary.empty()) summary += " \xC2\xB7 ";
        summary += it->second;
    }
    if (!summary.empty()) items.push_back(MenuItem::line(summary));
    items.push_back(
        MenuItem::command("Open folder", MenuItem::Action::openFolder, {folder.string()}));
    if (!fields.empty())
        items.push_back(MenuItem::command("Open manifest", MenuItem::Action::openFile,
                                          {(folder / "_manifest.md").string()}));
    MenuItem mail =
        MenuItem::command(counted("Mail all files", content.size()), MenuItem::Action::mail);
    for (auto& f : content) mail.paths.push_back(f.fullPath);
    if (auto subject = fields.find("\xC3\x84mne"); subject != fields.end())
        mail.subject = subject->second;
    items.push_back(std::move(mail));
    items.push_back(MenuItem::divider());
    for (auto& f : content) items.push_back(fileButton(f));
    return MenuItem::submenu(title, std::move(items));
}

std::vector<MenuItem> VaultMenu::outboxRows(const std::vector<FileEntry>& files) const {
    std::vector<MenuItem> rows;
    if (files.size() <= size_t(settings_.groupThreshold(settings_.outboxGroupThreshold))) {
        for (auto& f : files) {
            rows.push_back(fileButton(f));
            rows.push_back(
                MenuItem::command("Mail " + f.filename, MenuItem::Action::mail, {f.fullPath}));
        }
        return rows;
    }
    auto groups = groupByDeliveryFolder(files);
    if (!groups.empty() && groups.front().folder == kLooseFolder)
        rows.push_back(deliverySubmenu(groups.front()));
    auto days = outboxDays(groups, basis_);
    std::vector<core::TimePoint> dates;
    for (auto& d : days) dates.push_back(d.date);
    auto dayRows = dayMenus(
        dates,
        [&](size_t i) {
            size_t n = 0;
            for (auto& g : days[i].folders) n += g.files.size();
            return n;
        },
        [&](size_t i) {
            std::vector<MenuItem> items;
            for (auto& g : days[i].folders) items.push_back(deliverySubmenu(g));
            return items;
        });
    rows.insert(rows.end(), dayRows.begin(), dayRows.end());
    return rows;
}

std::vector<MenuItem> VaultMenu::recentRows(const std::vector<FileEntry>& files) const {
    auto from = addDays(startOfDay(now_), -settings_.recentDays);
    std::vector<FileEntry> recent;
    for (auto& f : files) {
        if (fileDate(f, basis_) >= from) recent.push_back(f);
    }
    std::vector<MenuItem> rows;
    for (auto& g : groupByDay(recent, basis_)) {
        std::vector<MenuItem> items;
        for (auto& f : g.files) items.push_back(fileButton(f));
        rows.push_back(MenuItem::submenu(counted(formatDayLabel(g.date, now_), g.files.size()),
                                         std::move(items)));
    }
    return rows;
}

MenuItem VaultMenu::vaultSubmenu(const FileScanner::Lists& lists) const {
    std::vector<MenuItem> items;
    items.push_back(
        MenuItem::submenu(counted("Today", lists.today.size()), todayRows(lists.today)));
    items.push_back(
        MenuItem::submenu(counted("Outbox", lists.outbox.size()), outboxRows(lists.outbox)));
    items.push_back(MenuItem::submenu(
        counted("Inbox", lists.inbox.size()),
        specialFolderRows(lists.inbox, settings_.groupThreshold(settings_.inboxGroupThreshold))));
    items.push_back(MenuItem::submenu(
        counted("Handoff", lists.handoff.size()),
        specialFolderRows(lists.handoff,
                          settings_.groupThreshold(settings_.handoffGroupThreshold))));
    items.push_back(MenuItem::submenu(fmt::format("Recent ({} days)", settings_.recentDays),
                                      recentRows(lists.recent)));
    items.push_back(MenuItem::divider());
    items.push_back(MenuItem::command("Search Vault...", MenuItem::Action::searchVault));
    return MenuItem::submenu("Vault", std::move(items));
}

std::vector<MenuItem> VaultMenu::build(const FileScanner::Lists& lists,
                                       const std::vector<MenuItem>& recorder,
                                       const std::vector<MenuItem>& captures) const {
    std::vector<MenuItem> menu = recorder;
    if (!recorder.empty()) menu.push_back(MenuItem::divider());
    menu.push_back(vaultSubmenu(lists));
    if (!captures.empty()) menu.push_back(MenuItem::submenu("Captures", captures));
    auto shortcut = [](MenuItem item, const char* keys) {
        item.shortcut = keys;
        return item;
    };
    menu.push_back(
        shortcut(MenuItem::command("Search Vault...", MenuItem::Action::searchVault), "Ctrl+F"));
    menu.push_back(shortcut(MenuItem::command("Refresh", MenuItem::Action::refresh), "Ctrl+R"));
    menu.push_back(
        shortcut(MenuItem::command("Settings...", MenuItem::Action::settings), "Ctrl+,"));
    menu.push_back(MenuItem::command("Welcome & guide...", MenuItem::Action::welcome));
    menu.push_back(shortcut(MenuItem::command("Quit", MenuItem::Action::quit), "Ctrl+Q"));
    return menu;
}

namespace {

void renderInto(std::string& out, const std::vector<MenuItem>& items, int depth) {
    std::string indent(size_t(depth) * 2, ' ');
    for (auto& item : items) {
        if (item.kind == MenuItem::Kind::divider) {
            out += indent + "----\n";
            continue;
        }
        // One line per row, whatever the names hold.
        std::string title = core::repairUtf8(item.title);
        for (auto& c : title) {
            if (c == '\n' || c == '\r') c = ' ';
        }
        out += indent + title + "\n";
        renderInto(out, item.children, depth + 1);
    }
}

const char* kindName(MenuItem::Kind kind) {
    switch (kind) {
        case MenuItem::Kind::action:
            return "action";
        case MenuItem::Kind::submenu:
            return "submenu";
        case MenuItem::Kind::line:
            return "line";
        case MenuItem::Kind::divider:
            return "divider";
    }
    return "line";
}

const char* actionName(MenuItem::Action action) {
    switch (action) {
        case MenuItem::Action::none:
            return "none";
        case MenuItem::Action::openFile:
            return "openFile";
        case MenuItem::Action::openFolder:
            return "openFolder";
        case MenuItem::Action::mail:
            return "mail";
        case MenuItem::Action::searchVault:
            return "searchVault";
        case MenuItem::Action::refresh:
            return "refresh";
        case MenuItem::Action::settings:
            return "settings";
        case MenuItem::Action::welcome:
            return "welcome";
        case MenuItem::Action::quit:
            return "quit";
    }
    return "none";
}

}  // namespace

std::string renderMenuText(const std::vector<MenuItem>& items) {
    std::string out;
    renderInto(out, items, 0);
    return out;
}

core::Json menuJson(const std::vector<MenuItem>& items) {
    core::Json out = core::Json::array();
    for (auto& item : items) {
        core::Json j = {{"kind", kindName(item.kind)}};
        if (item.kind != MenuItem::Kind::divider) j["title"] = core::repairUtf8(item.title);
        if (item.action != MenuItem::Action::none) j["action"] = actionName(item.action);
        if (!item.paths.empty()) {
            j["files"] = core::Json::array();
            for (auto& p : item.paths) j["files"].push_back(fileUrl(p));
        }
        if (!item.subject.empty()) j["subject"] = item.subject;
        if (!item.shortcut.empty()) j["shortcut"] = item.shortcut;
        if (item.kind == MenuItem::Kind::submenu) j["items"] = menuJson(item.children);
        out.push_back(std::move(j));
    }
    return out;
}

}  // namespace sayloft::browser
