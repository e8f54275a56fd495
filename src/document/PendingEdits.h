// Edits that could not reach the catalog when the program had to end (a
// logout while another program kept the catalog's lock): kept in a file of
// our own in the Application Support folder, "PendingEdits.plist" (an array
// of catalog entries, one per photo), and put into the catalog at the next
// start of the window or the command line, before anything reads it.
//
// Thread safety: every function may be called from any thread; changes to
// the file are serialised by a lock beside it, held only by this program.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

#include "platform/Error.h"
#include "platform/Value.h"

class PendingEdits {
public:
    static std::filesystem::path pendingFile();

    // Keeps the catalog entry (serialised settings with their
    // "Quorvex_UUID"), replacing one kept for the same photo.
    static bool keep(const platform::Dictionary& entry, platform::Error* error);

    // Puts every kept entry into the catalog, each change waiting for the
    // catalog's lock at most `limit` in all; entries that still cannot be
    // put there stay kept for the next start. Answers what the person is
    // told (empty when nothing was kept); it is also logged.
    static std::string mergeIntoCatalog(std::chrono::milliseconds limit);
};
