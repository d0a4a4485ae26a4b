#include <fmt/format.h>

#include <filesystem>
#include <iostream>

#include "commands.hpp"
#include "vault/inbox_writer.hpp"

namespace sayloft::cli {

namespace {

// Prints a note's frontmatter as it reads back, one "key: value" line per field in the order
// the writer uses, then an empty line and the body.
int showNote(const std::filesystem::path& file) {
    vault::InboxWriter reader(file.parent_path());
    try {
        auto frontmatter = reader.readFrontmatter(file);
        std::string body = reader.readBody(file);
        for (const auto& [key, value] : vault::InboxWriter::fields(frontmatter))
            fmt::print("{}: {}\n", key, value);
        if (!body.empty()) fmt::print("\n{}{}", body, body.ends_with('\n') ? "" : "\n");
        return 0;
    } catch (const std::exception& e) {
        fmt::print(stderr, "{}\n", e.what());
        return 1;
    }
}

}  // namespace

void addNoteCommands(CLI::App& app, Cli& cli) {
    auto* note = app.add_subcommand("note", "Inspect the notes sayloft writes into the vault");
    note->require_subcommand(1);

    auto* show = note->add_subcommand(
        "show", "Print a note's frontmatter fields as read back (key: value), then its body");
    auto path = std::make_shared<std::string>();
    show->add_option("path", *path, "The note's markdown file")->required();
    show->callback([path, &cli] { cli.exitCode = showNote(*path); });
}

}  // namespace sayloft::cli
