#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "browser/file_entry.hpp"
#include "browser/file_scanner.hpp"
#include "core/json.hpp"
#include "settings/settings.hpp"

namespace sayloft::browser {

struct DayGroup {
    core::TimePoint date;  // start of a local calendar day
    std::vector<FileEntry> files;
};
struct FolderGroup {
    std::string folder;
    std::vector<FileEntry> files;
};
struct OutboxDay {
    core::TimePoint date;
    std::vector<FolderGroup> folders;
};

inline constexpr const char* kLooseFolder = "(loose)";
inline constexpr const char* kRootFolder = "(root)";

// Files keyed by the local day of their date, newest day first, newest file first in a day.
std::vector<DayGroup> groupByDay(const std::vector<FileEntry>& files, settings::TimeBasis basis);
// Today's files by the first folder of their relative path ("(root)" at the top level); the
// fullest group first, equal counts by name.
std::vector<FolderGroup> groupByFolder(const std::vector<FileEntry>& files);
// Outbox files by delivery folder (the folder right below `_outbox/`, "(loose)" for files lying
// in `_outbox/` itself): "(loose)" first, the others by name, descending.
std::vector<FolderGroup> groupByDeliveryFolder(const std::vector<FileEntry>& files);
// Delivery folders by day: the "yyMMdd" their name starts with, else their newest file's date.
std::vector<OutboxDay> outboxDays(const std::vector<FolderGroup>& groups,
                                  settings::TimeBasis basis);
// "Today", "Yesterday", else "Jan 5".
std::string formatDayLabel(core::TimePoint date, core::TimePoint now);
// "January 2026".
std::string formatMonthLabel(core::TimePoint date);
// "**Key:** value" lines of the folder's _manifest.md; the first occurrence of a key wins.
std::map<std::string, std::string> manifestFields(const std::filesystem::path& folder);
// "name  —  domain / type", "name  —  domain" or "name  —  parent folder".
std::string fileButtonTitle(const FileEntry& entry);

// One row of the menu as a front-end draws it.
struct MenuItem {
    enum class Kind { action, submenu, line, divider };
    enum class Action {
        none,
        openFile,    // paths[0] with the default application
        openFolder,  // paths[0]
        mail,        // a new e-mail with `paths` attached and `subject`
        searchVault,
        refresh,
        settings,
        welcome,
        quit,
    };
    Kind kind = Kind::line;
    std::string title;
    Action action = Action::none;
    std::vector<std::string> paths;
    std::string subject;
    std::string shortcut;  // "Ctrl+F" and the like
    std::vector<MenuItem> children;

    static MenuItem line(std::string title);
    static MenuItem divider();
    static MenuItem submenu(std::string title, std::vector<MenuItem> children);
    static MenuItem command(std::string title, Action action, std::vector<std::string> paths = {});
};

// The menu built from the scanner's lists and the settings, rebuilt on every change; holds no
// state of its own.
class VaultMenu {
  public:
    VaultMenu(const settings::AppSettings& settings, core::TimePoint now);

    // The "Vault" submenu: Today, Outbox, Inbox, Handoff, Recent, then "Search Vault...".
    MenuItem vaultSubmenu(const FileScanner::Lists& lists) const;
    // The whole menu: `recorder` rows and a divider, the Vault submenu, `captures` (a "Captures"
    // submenu when not empty), then Search, Refresh, Settings, Welcome and Quit.
    std::vector<MenuItem> build(const FileScanner::Lists& lists,
                                const std::vector<MenuItem>& recorder = {},
                                const std::vector<MenuItem>& captures = {}) const;

    // The newest `menuDayLimit` days as submenus, the rest under "Older (n)" by month.
    std::vector<MenuItem> dayMenus(
        const std::vector<core::TimePoint>& days, const std::function<size_t(size_t)>& count,
        const std::function<std::vector<MenuItem>(size_t)>& content) const;
    // Inbox and Handoff: flat up to the threshold, else by day.
    std::vector<MenuItem> specialFolderRows(const std::vector<FileEntry>& files,
                                            int threshold) const;
    MenuItem deliverySubmenu(const FolderGroup& group) const;

  private:
    std::vector<MenuItem> todayRows(const std::vector<FileEntry>& files) const;
    std::vector<MenuItem> outboxRows(const std::vector<FileEntry>& files) const;
    std::vector<MenuItem> recentRows(const std::vector<FileEntry>& files) const;

    settings::AppSettings settings_;
    settings::TimeBasis basis_;
    core::TimePoint now_;
    std::string vault_;
};

MenuItem fileButton(const FileEntry& entry);

// The menu as indented text (two blanks per level) and as JSON, for the command line.
std::string renderMenuText(const std::vector<MenuItem>& items);
core::Json menuJson(const std::vector<MenuItem>& items);

}  // namespace sayloft::browser
