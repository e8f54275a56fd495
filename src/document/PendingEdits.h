// Edits that could not reach the catalog when the program had to end (a
// logout while another program kept the catalog's lock): kept in a file of
// our own, "PendingEdits.plist", in the Application Support folder or, when
// that cannot take it (full, read-only), in the state folder, and put into
// the catalog at the next start of the window or the command line, and
// again during a run whose start could not.
//
// Each record holds the catalog entry, when it was kept and the save mark
// (kSavedAtKey) of the catalog entry its settings started from. A record
// replaces a catalog entry only when it is newer: the entry still bears that
// mark (nobody saved the photo since, whatever the clocks say), or else was
// saved earlier than the record was kept. Every save of a photo settles its
// records: they were kept before it.
//
// Thread safety: every function may be called from any thread; changes to
// a file are serialised by a lock beside it, taken only by this program's
// processes and never held while the catalog is waited for.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Value.h"

class PendingEdits {
public:
    // A catalog entry's save mark: seconds since 1970 (UTC) on the saving
    // machine's clock, a real number. Never part of a document's settings.
    static constexpr const char* kSavedAtKey = "Quorvex_SavedAt";

    // Where records are kept, in the order tried: the Application Support
    // folder's file, then the state folder's.
    static std::vector<std::filesystem::path> pendingFiles();
    static std::filesystem::path pendingFile() { return pendingFiles().front(); }

    static double now();
    static std::optional<double> savedAt(const platform::Dictionary& catalogEntry);

    // Keeps the catalog entry (serialised settings with their
    // "Quorvex_UUID"), whose settings started from the catalog entry marked
    // `base` (nullopt: none, or one without a mark), replacing a record kept
    // for the same photo. The second folder is tried when the first cannot
    // take it.
    static bool keep(const platform::Dictionary& entry, std::optional<double> base,
                     platform::Error* error);
    // A save of the photo reached the catalog: its records are settled.
    static void settle(const std::string& uuid);
    // The kept entry of the photo when it is newer than `catalogEntry` (as
    // stored, nullopt when there is none).
    static std::optional<platform::Dictionary> newerThan(
        const std::string& uuid, const std::optional<platform::Dictionary>& catalogEntry);
    static bool anyKept();

    struct Merged {
        size_t merged = 0;  // now in the catalog
        size_t older = 0;   // the catalog's entry was newer: settled
        size_t left = 0;    // still kept
        std::string told;   // what the person is told; empty when nothing was kept
    };
    // Puts every kept record into the catalog where it is newer, waiting for
    // the catalog's lock at most `limit` in all, or until `stop` is set;
    // records that still cannot be put there stay kept. With `quietly`, a
    // catalog another program holds is not waited for (nor the wait told):
    // all stay kept, and nothing is told. What is told is also logged.
    static Merged merge(std::chrono::milliseconds limit, const std::atomic<bool>* stop = nullptr,
                        bool quietly = false);
    static std::string mergeIntoCatalog(std::chrono::milliseconds limit) {
        return merge(limit).told;
    }

private:
    static void settleIn(const std::filesystem::path& file, const std::string& uuid);
};
