#include "browser/search_index.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <unordered_set>

#include "browser/file_classifier.hpp"
#include "core/text.hpp"

namespace sayloft::browser {

namespace fs = std::filesystem;

namespace {

bool isStructure(Source s) {
    return s == Source::outbox || s == Source::inbox || s == Source::handoff;
}

std::optional<Source> scopeSource(SearchIndex::Scope scope) {
    switch (scope) {
        case SearchIndex::Scope::all:
            return std::nullopt;
        case SearchIndex::Scope::inbox:
            return Source::inbox;
        case SearchIndex::Scope::outbox:
            return Source::outbox;
        case SearchIndex::Scope::handoff:
            return Source::handoff;
    }
    return std::nullopt;
}

std::vector<std::string> terms(const std::string& lowerQuery) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < lowerQuery.size()) {
        size_t end = lowerQuery.find(' ', start);
        if (end == std::string::npos) end = lowerQuery.size();
        if (end > start) out.push_back(lowerQuery.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

core::TimePoint timeOf(const struct statx_timestamp& t) {
    return core::TimePoint{std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec)};
}

}  // namespace

std::vector<FileEntry> withoutDuplicates(std::vector<FileEntry> files) {
    std::unordered_set<std::string> seen;
    std::vector<FileEntry> out;
    out.reserve(files.size());
    for (auto& f : files) {
        if (seen.insert(f.fullPath).second) out.push_back(std::move(f));
    }
    return out;
}

SearchIndex::SearchIndex(Sources sources, const settings::Settings& settings, FileActions& actions)
    : sources_(std::move(sources)), settings_(settings), actions_(actions) {
    rebuildIndex();
    search();
}

SearchIndex::SearchIndex(FileScanner& scanner, const settings::Settings& settings,
                         FileActions& actions)
    : SearchIndex(Sources{[&scanner] { return scanner.lists(); },
                          [&scanner] { return scanner.scanAllFiles(); }},
                  settings, actions) {}

const std::vector<std::pair<std::string, std::vector<std::string>>>& SearchIndex::extensionChips() {
    static const std::vector<std::pair<std::string, std::vector<std::string>>> chips = {
        {"md", {"md"}},
        {"pdf", {"pdf"}},
        {"txt", {"txt"}},
        {"doc", {"doc", "docx", "odt"}},
        {"xls", {"xls", "xlsx", "ods", "csv"}},
        {"ppt", {"ppt", "pptx", "odp", "key"}},
    };
    return chips;
}

const std::set<std::string>& SearchIndex::hiddenExtensions() {
    static const std::set<std::string> hidden = {"yaml", "yml", "json", "plist", "lock", "log"};
    return hidden;
}

std::vector<FileEntry> SearchIndex::structureLists(const FileScanner::Lists& lists) const {
    std::vector<FileEntry> out = lists.outbox;
    out.insert(out.end(), lists.inbox.begin(), lists.inbox.end());
    out.insert(out.end(), lists.handoff.begin(), lists.handoff.end());
    return out;
}

void SearchIndex::rebuildIndex() {
    auto lists = sources_.lists ? sources_.lists() : FileScanner::Lists{};
    auto structure = structureLists(lists);
    std::vector<FileEntry> all = lists.today;
    all.insert(all.end(), lists.recent.begin(), lists.recent.end());
    all.insert(all.end(), structure.begin(), structure.end());
    recentFiles_ = withoutDuplicates(std::move(all));
    if (fullIndex_) {
        std::erase_if(*fullIndex_, [](const FileEntry& f) { return isStructure(f.source); });
        fullIndex_->insert(fullIndex_->end(), structure.begin(), structure.end());
        fullIndex_ = withoutDuplicates(std::move(*fullIndex_));
    }
}

core::TimePoint SearchIndex::dateOf(const FileEntry& e) const {
    return fileDate(e, settings_.settings().effectiveTimeBasis());
}

size_t SearchIndex::indexFileCount() const {
    return deepSearch_ && fullIndex_ ? fullIndex_->size() : recentFiles_.size();
}

void SearchIndex::search() {
    std::string q = lowerText(core::trimWhitespace(query_));
    const auto& base = deepSearch_ && fullIndex_ ? *fullIndex_ : recentFiles_;
    auto source = scopeSource(scope_);
    auto words = terms(q);
    std::vector<FileEntry> list;
    for (auto& f : base) {
        if (source && f.source != *source) continue;
        std::string ext = lowerExtension(f.filename);
        if (hideSystemFiles_ &&
            (settings_.isExcludedFile(f.filename) || hiddenExtensions().count(ext)))
            continue;
        if (!activeExtFilters_.empty() && !activeExtFilters_.count(ext)) continue;
        if (!words.empty()) {
            std::string text =
                lowerText(f.filename + " " + f.relativePath + " " + f.parentFolder + " " +
                          f.domain.value_or("") + " " + f.fileType.value_or(""));
            bool all = std::all_of(words.begin(), words.end(), [&](const std::string& w) {
                return text.find(w) != std::string::npos;
            });
            if (!all) continue;
        }
        list.push_back(f);
    }
    sortNewestFirst(list, settings_.settings().effectiveTimeBasis());
    if (list.size() > kMaxResults) list.resize(kMaxResults);
    results_ = std::move(list);
    selectedIndex_ = 0;
}

void SearchIndex::reset() {
    query_.clear();
    selectedIndex_ = 0;
    deepSearch_ = false;
    activeExtFilters_.clear();
    scope_ = Scope::all;
    fullIndex_.reset();
    rebuildIndex();
    search();
}

void SearchIndex::setQuery(std::string query) {
    query_ = std::move(query);
    search();
}

void SearchIndex::setScope(Scope scope) {
    scope_ = scope;
    search();
}

void SearchIndex::setHideSystemFiles(bool hide) {
    hideSystemFiles_ = hide;
    search();
}

void SearchIndex::setChip(const std::string& label, bool on) {
    for (auto& [chip, extensions] : extensionChips()) {
        if (chip != label) continue;
        for (auto& e : extensions) {
            if (on) {
                activeExtFilters_.insert(e);
            } else {
                activeExtFilters_.erase(e);
            }
        }
    }
    search();
}

void SearchIndex::setDeepSearch(bool on) {
    deepSearch_ = on;
    if (on && !fullIndex_ && sources_.fullScan) {
        setFullIndex(sources_.fullScan());
        return;
    }
    search();
}

void SearchIndex::setFullIndex(std::vector<FileEntry> files) {
    auto lists = sources_.lists ? sources_.lists() : FileScanner::Lists{};
    auto structure = structureLists(lists);
    files.insert(files.end(), structure.begin(), structure.end());
    fullIndex_ = withoutDuplicates(std::move(files));
    search();
}

const std::vector<FileEntry>& SearchIndex::visible() const {
    return folderPath_ ? folderFiles_ : results_;
}

std::optional<FileEntry> SearchIndex::selectedFile() const {
    const auto& list = visible();
    if (selectedIndex_ >= list.size()) return std::nullopt;
    return list[selectedIndex_];
}

void SearchIndex::moveUp() {
    if (selectedIndex_ > 0) --selectedIndex_;
}

void SearchIndex::moveDown() {
    if (selectedIndex_ + 1 < visible().size()) ++selectedIndex_;
}

void SearchIndex::drillIntoFolder() {
    auto selected = selectedFile();
    if (!selected) return;
    auto slash = selected->relativePath.rfind('/');
    std::string relativeFolder = slash == std::string::npos
                                     ? selected->parentFolder
                                     : selected->relativePath.substr(0, slash);
    if (relativeFolder.empty()) relativeFolder = selected->parentFolder;
    fs::path folder = fs::path(selected->fullPath).parent_path();
    std::vector<FileEntry> files;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        struct statx sx {};
        if (::statx(AT_FDCWD, it->path().c_str(), AT_SYMLINK_NOFOLLOW,
                    STATX_TYPE | STATX_MTIME | STATX_BTIME | STATX_SIZE, &sx) != 0)
            continue;
        if (!S_ISREG(sx.stx_mode)) continue;
        FileEntry e;
        e.id = newUuid();
        e.filename = displayText(name);
        e.relativePath = relativeFolder + "/" + e.filename;
        e.parentFolder = displayText(folder.filename().string());
        e.fullPath = it->path().string();
        e.modificationDate = timeOf(sx.stx_mtime);
        e.creationDate = (sx.stx_mask & STATX_BTIME) ? timeOf(sx.stx_btime) : e.modificationDate;
        e.size = int64_t(sx.stx_size);
        e.source = selected->source;
        auto c = FileClassifier::classify(e.filename, e.relativePath);
        e.filenameDate = c.filenameDate;
        e.domain = c.domain;
        e.fileType = c.fileType;
        files.push_back(std::move(e));
    }
    folderPath_ = relativeFolder;
    folderFiles_ = std::move(files);
    selectedIndex_ = 0;
    sortFolderFiles();
}

void SearchIndex::exitFolderMode() {
    folderPath_.reset();
    folderFiles_.clear();
    folderSortByName_ = false;
    selectedIndex_ = 0;
}

void SearchIndex::setFolderSortByName(bool byName) {
    folderSortByName_ = byName;
    sortFolderFiles();
}

void SearchIndex::sortFolderFiles() {
    if (folderSortByName_) {
        std::stable_sort(folderFiles_.begin(), folderFiles_.end(),
                         [](const FileEntry& a, const FileEntry& b) {
                             return lowerText(a.filename) < lowerText(b.filename);
                         });
    } else {
        sortNewestFirst(folderFiles_, settings_.settings().effectiveTimeBasis());
    }
}

bool SearchIndex::openFile() {
    auto f = selectedFile();
    return f && actions_.open(f->fullPath);
}

bool SearchIndex::revealSelected() {
    auto f = selectedFile();
    return f && actions_.reveal(f->fullPath);
}

bool SearchIndex::mailSelected() {
    auto f = selectedFile();
    return f && actions_.mail({f->fullPath}, "");
}

std::string SearchIndex::pdfSelected() {
    auto f = selectedFile();
    if (!f) throw ActionError("No file selected");
    if (lowerExtension(f->filename) != "md") throw ActionError("Only Markdown files become PDFs");
    return actions_.convertToPdf(f->fullPath);
}

void SearchIndex::deleteSelected() {
    auto f = selectedFile();
    if (!f) return;
    actions_.trash(f->fullPath);
    auto gone = [&](const FileEntry& e) { return e.fullPath == f->fullPath; };
    std::erase_if(results_, gone);
    std::erase_if(folderFiles_, gone);
    std::erase_if(recentFiles_, gone);
    if (fullIndex_) std::erase_if(*fullIndex_, gone);
    if (selectedIndex_ > 0 && selectedIndex_ >= visible().size())
        selectedIndex_ = visible().size() - 1;
}

}  // namespace sayloft::browser
