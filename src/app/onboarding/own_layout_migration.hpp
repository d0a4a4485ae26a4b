#pragma once

namespace sayloft::app {

struct OwnLayoutMigrationResult {
    bool foundOldLayout = false;  // something of the ~/Library layout was there
    bool complete = true;         // nothing of it is left (all moved or thrown away as cache)
};

// Moves the files of sayloft's earlier ~/Library layout into the XDG places (see core/places):
// settings, capture state, the capture log and its previous generation, the file secret store,
// the user defaults, the caches and the recording work folders. Runs first at launch, before
// anything reads settings or state. Never replaces a file at a new place: a capture state, user
// defaults or secrets file found at both places is merged (the new place's values win), any other
// clash leaves the old copy where it is and says so in the log. Caches are thrown away when their
// name is taken. Interrupted at any point, the next run completes the job without loss.
// The watched Voice Memos folders below ~/Library are sources and are not touched.
OwnLayoutMigrationResult migrateOwnLegacyLayout();

}  // namespace sayloft::app
