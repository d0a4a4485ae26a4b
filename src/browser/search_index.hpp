#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "browser/file_actions.hpp"
#include "browser/file_entry.hpp"
#include "browser/file_scanner.hpp"
#include "settings/settings.hpp"

namespace sayloft::browser {

// The model behind the search window: a de-duplicated list of candidate files from the scanner,
// filtered and ordered for each query, folder browsing, and the actions on the selected file.
// Not thread-safe: the owner calls it from its main queue.
class SearchIndex {
  public:
    enum class Scope { all, inbox, outbox, handoff };
    static constexpr size_t kMaxResults = 500;

    struct Sources {
        std::function<FileScanner::Lists()> lists;         // the scanner's published lists
        std::function<std::vector<FileEntry>()> fullScan;  // every file, no date limit
    };

    SearchIndex(Sources sources, const settings::Settings& settings, FileActions& actions);
    // Wired to a scanner: its lists and its full scan.
    SearchIndex(FileScanner& scanner, const settings::Settings& settings, FileActions& actions);

    // Label and extensions of each filter chip.
    static const std::vector<std::pair<std::string, std::vector<std::string>>>& extensionChips();
    static const std::set<std::string>& hiddenExtensions();

    void rebuildIndex();
    void search();
    // Back to an empty query over the recent files (each time the window opens).
    void reset();

    // Each of these runs the search again.
    void setQuery(std::string query);
    void setScope(Scope scope);
    void setHideSystemFiles(bool hide);
    void setChip(const std::string& label, bool on);
    // Turning deep search on loads the full index first when it is not loaded (on this thread).
    void setDeepSearch(bool on);
    // The full index, loaded elsewhere (a background task), handed over on the owner's thread.
    void setFullIndex(std::vector<FileEntry> files);

    const std::vector<FileEntry>& results() const { return results_; }
    const std::string& query() const { return query_; }
    size_t selectedIndex() const { return selectedIndex_; }
    size_t indexFileCount() const;
    bool isDeepSearch() const { return deepSearch_; }
    bool hideSystemFiles() const { return hideSystemFiles_; }
    const std::set<std::string>& activeExtFilters() const { return activeExtFilters_; }
    const std::optional<std::string>& folderPath() const { return folderPath_; }
    const std::vector<FileEntry>& folderFiles() const { return folderFiles_; }
    bool folderSortByName() const { return folderSortByName_; }
    // What the list shows: the folder's files in folder mode, else the results.
    const std::vector<FileEntry>& visible() const;
    std::optional<FileEntry> selectedFile() const;

    void moveUp();
    void moveDown();
    void drillIntoFolder();
    void exitFolderMode();
    void setFolderSortByName(bool byName);
    void sortFolderFiles();

    bool openFile();
    bool revealSelected();
    bool mailSelected();
    // The PDF's path; throws ActionError.
    std::string pdfSelected();
    // Moves the selected file to the trash and drops it from every list; throws on failure.
    void deleteSelected();

  private:
    std::vector<FileEntry> structureLists(const FileScanner::Lists& lists) const;
    core::TimePoint dateOf(const FileEntry& e) const;

    Sources sources_;
    const settings::Settings& settings_;
    FileActions& actions_;

    std::vector<FileEntry> results_;
    std::string query_;
    size_t selectedIndex_ = 0;
    bool deepSearch_ = false;
    bool hideSystemFiles_ = true;
    std::set<std::string> activeExtFilters_;
    Scope scope_ = Scope::all;
    std::optional<std::string> folderPath_;
    std::vector<FileEntry> folderFiles_;
    bool folderSortByName_ = false;
    std::vector<FileEntry> recentFiles_;
    std::optional<std::vector<FileEntry>> fullIndex_;
};

// Keeps the first entry of each full path.
std::vector<FileEntry> withoutDuplicates(std::vector<FileEntry> files);

}  // namespace sayloft::browser
