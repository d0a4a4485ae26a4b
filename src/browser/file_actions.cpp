#include "browser/file_actions.hpp"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <fmt/format.h>

#include "browser/file_entry.hpp"
#include "browser/trash.hpp"
#include "core/log.hpp"
#include "core/places.hpp"
#include "core/process.hpp"
#include "core/text.hpp"

namespace sayloft::browser {

namespace fs = std::filesystem;

namespace {

constexpr const char* kArea = "search";

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    if (!path) return false;
    std::string_view rest(path);
    while (!rest.empty()) {
        auto colon = rest.find(':');
        std::string dir(rest.substr(0, colon));
        rest = colon == std::string_view::npos ? "" : rest.substr(colon + 1);
        if (dir.empty()) continue;
        if (::access((fs::path(dir) / program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

// A path that no option parser takes for an option.
std::string argument(const std::string& path) {
    return !path.empty() && path[0] == '-' ? "./" + path : path;
}

fs::path uniquePdfPath(const fs::path& source) {
    fs::path base = source;
    base.replace_extension();
    for (int n = 1;; ++n) {
        fs::path candidate = n == 1 ? fs::path(base.string() + ".pdf")
                                    : fs::path(fmt::format("{}-{}.pdf", base.string(), n));
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(candidate, ec))) return candidate;
    }
}

}  // namespace

std::optional<PdfConverter> findPdfConverter() {
    if (onPath("pandoc")) return PdfConverter{{"pandoc", "{in}", "-o", "{out}"}};
    if (onPath("python3")) {
        try {
            core::ProcessOptions o;
            o.argv = {"python3", "-c", "import markdown, weasyprint"};
            o.stdoutTo = o.stderrTo = core::ProcessOutput::discarded();
            o.timeLimit = core::seconds(20);
            if (core::runProcess(o).succeeded())
                return PdfConverter{
                    {"python3", "-c",
                     "import sys, markdown, weasyprint\n"
                     "html = markdown.markdown(open(sys.argv[1], encoding='utf-8').read(),"
                     " extensions=['tables', 'fenced_code'])\n"
                     "weasyprint.HTML(string=html).write_pdf(sys.argv[2])\n",
                     "{in}", "{out}"}};
        } catch (const core::ProcessError&) {
        }
    }
    return std::nullopt;
}

DesktopFileActions::DesktopFileActions(platform::Opener& opener,
                                       std::optional<PdfConverter> converter,
                                       std::string remotesPath)
    : opener_(opener), converter_(std::move(converter)), remotesPath_(std::move(remotesPath)) {}

bool DesktopFileActions::open(const std::string& path) {
    return opener_.openFile(path);
}

bool DesktopFileActions::showInFileManager(const std::string& path) {
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) return false;
    sd_bus_set_method_call_timeout(bus, 5'000'000);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    std::string uri = fileUrl(path);
    int r = sd_bus_call_method(bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                               "org.freedesktop.FileManager1", "ShowItems", &error, &reply, "ass",
                               1, uri.c_str(), "");
    if (r < 0)
        core::log(kArea, "file manager did not answer: {}",
                  error.message ? error.message : std::strerror(-r));
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return r >= 0;
}

bool DesktopFileActions::reveal(const std::string& path) {
    if (showInFileManager(path)) return true;
    return opener_.openFile(fs::path(path).parent_path());
}

bool DesktopFileActions::mail(const std::vector<std::string>& paths, const std::string& subject) {
    core::ProcessOptions o;
    o.argv = {"xdg-email"};
    if (!subject.empty()) o.argv.insert(o.argv.end(), {"--subject", subject});
    for (auto& p : paths) o.argv.insert(o.argv.end(), {"--attach", argument(p)});
    o.stdoutTo = core::ProcessOutput::discarded();
    o.stderrTo = core::ProcessOutput::captured();
    o.keepLastBytes = 4096;
    try {
        auto r = core::runProcess(o);
        if (!r.succeeded()) {
            core::log(kArea, "xdg-email failed ({}): {}", r.status(),
                      core::repairUtf8(core::trimWhitespace(r.err)));
            return false;
        }
        return true;
    } catch (const core::ProcessError& e) {
        core::log(kArea, "{}", e.what());
        return false;
    }
}

std::string DesktopFileActions::convertToPdf(const std::string& path) {
    if (!converter_)
        throw ActionError(
            "No PDF converter found: install pandoc, or python3 with its markdown and "
            "weasyprint modules");
    fs::path source = path;
    std::string remotes = remotesPath_.empty() ? "" : core::expandTilde(remotesPath_);
    if (!remotes.empty() && path.rfind(remotes, 0) == 0) {
        // Network files are converted from a local copy.
        fs::path local = core::cacheDir() / "pdf";
        std::error_code ec;
        fs::create_directories(local, ec);
        source = local / fs::path(path).filename();
        core::ProcessOptions copy;
        copy.argv = {"cp", "--", path, source.string()};
        copy.stdoutTo = copy.stderrTo = core::ProcessOutput::discarded();
        copy.timeLimit = core::seconds(60);
        if (!core::runProcess(copy).succeeded())
            throw ActionError("Could not copy " + core::repairUtf8(path) + " from the network");
    }
    fs::path out = uniquePdfPath(source);
    core::ProcessOptions o;
    for (auto& a : converter_->argv)
        o.argv.push_back(a == "{in}"    ? argument(source.string())
                         : a == "{out}" ? argument(out.string())
                                        : a);
    o.stdoutTo = core::ProcessOutput::discarded();
    o.stderrTo = core::ProcessOutput::captured();
    o.keepLastBytes = 4096;
    o.timeLimit = core::seconds(120);
    core::ProcessResult r;
    try {
        r = core::runProcess(o);
    } catch (const core::ProcessError& e) {
        throw ActionError(std::string("PDF converter launch failed: ") + e.what());
    }
    if (!r.succeeded() || !fs::exists(out)) {
        std::error_code ec;
        fs::remove(out, ec);
        throw ActionError("PDF conversion failed: " +
                          core::repairUtf8(core::trimWhitespace(r.err)));
    }
    return out.string();
}

void DesktopFileActions::trash(const std::string& path) {
    moveToTrash(path);
}

}  // namespace sayloft::browser
