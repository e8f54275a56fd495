// Where the application keeps its files. Every call reads the environment
// anew (tests point HOME, XDG_* and TMPDIR elsewhere) and, unless told not
// to, creates the folder when missing. Thread-safe.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace platform {

// $XDG_CONFIG_HOME/Quorvex (default ~/.config/Quorvex): user defaults.
std::filesystem::path configDirectory(bool create = true);
// $XDG_DATA_HOME/Quorvex (default ~/.local/share/Quorvex): the user's
// "Application Support" folder (profiles, presets, catalog).
std::filesystem::path applicationSupportDirectory(bool create = true);
// $XDG_STATE_HOME/Quorvex (default ~/.local/state/Quorvex): the program's log.
std::filesystem::path stateDirectory(bool create = true);
// A folder private to this process (mode 0700) inside $TMPDIR (default /tmp),
// never the shared temporary folder itself. Made on first use; made again if
// TMPDIR changed or the folder vanished. Empty path when it cannot be made.
// The folders a process made go when it exits normally.
std::filesystem::path temporaryDirectory();
// Removes everything inside temporaryDirectory(), and the private folders
// that ended processes left in $TMPDIR.
void emptyTemporaryDirectory();
// Removes this process's private folder with what it holds (a program that
// quits normally leaves nothing behind); a later temporaryDirectory() makes
// a new one.
void removeTemporaryDirectory();

// Moves a file that cannot be read out of the way, never deleting it: to
// "<file><suffix>", or "<file><suffix>-<n>" when an earlier copy is kept
// (always numbered, from 1, with `numbered`). The path it now has, or
// nullopt when it cannot be moved.
std::optional<std::filesystem::path> setFileAside(const std::filesystem::path& file,
                                                  const std::string& suffix,
                                                  bool numbered = false);
// The paths of the entries of `folder` (not "." and ".."), in no order.
// Empty with `error` set when it cannot be read. Short of memory it throws
// std::bad_alloc, where std::filesystem::directory_iterator's error-code
// forms end the program.
std::vector<std::filesystem::path> folderEntries(const std::filesystem::path& folder,
                                                 std::error_code& error);

// A settings file, as "<file>.damaged" or "<file>.damaged-<n>".
inline std::optional<std::filesystem::path> setAsideDamagedFile(
    const std::filesystem::path& file) {
    return setFileAside(file, ".damaged");
}

}  // namespace platform
