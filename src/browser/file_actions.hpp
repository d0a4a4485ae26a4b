#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "platform/opener.hpp"

namespace sayloft::browser {

class ActionError : public Error {
  public:
    using Error::Error;
};

// What the search window and the menu do with a file.
class FileActions {
  public:
    virtual ~FileActions() = default;
    // Opens with the default application; false when that could not be started.
    virtual bool open(const std::string& path) = 0;
    // Shows the file selected in the file manager, else opens its folder.
    virtual bool reveal(const std::string& path) = 0;
    // Starts a new e-mail with the files attached.
    virtual bool mail(const std::vector<std::string>& paths, const std::string& subject) = 0;
    // Converts a Markdown file to PDF; returns the PDF's path. Throws ActionError.
    virtual std::string convertToPdf(const std::string& path) = 0;
    // Moves the file to the trash. Throws (TrashError) and leaves the file in place on failure.
    virtual void trash(const std::string& path) = 0;
};

// A program that turns Markdown into PDF: argv with "{in}" and "{out}" standing for the files.
struct PdfConverter {
    std::vector<std::string> argv;
};
// The first converter this computer has: pandoc, else python3 with the markdown and weasyprint
// modules. Nothing when neither is there.
std::optional<PdfConverter> findPdfConverter();

// The desktop's way of doing each action on Linux: xdg-open (through the opener), the file
// manager's org.freedesktop.FileManager1.ShowItems on the session bus, xdg-email, the PDF
// converter, and the freedesktop trash.
class DesktopFileActions : public FileActions {
  public:
    // `remotesPath`: files below it are network files, converted from a local copy.
    DesktopFileActions(platform::Opener& opener, std::optional<PdfConverter> converter,
                       std::string remotesPath = {});
    bool open(const std::string& path) override;
    bool reveal(const std::string& path) override;
    bool mail(const std::vector<std::string>& paths, const std::string& subject) override;
    std::string convertToPdf(const std::string& path) override;
    void trash(const std::string& path) override;

    // Asks the session bus's file manager to show the file; false when none answers.
    static bool showInFileManager(const std::string& path);

  private:
    platform::Opener& opener_;
    std::optional<PdfConverter> converter_;
    std::string remotesPath_;
};

}  // namespace sayloft::browser
