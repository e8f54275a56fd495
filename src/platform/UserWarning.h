// Warnings that change a result (a tag, preset, catalog or camera profile set
// aside): they go to the log and to the one handler the program installs,
// which tells the person using it (the command line prints a line on
// stderr, the window shows it). Without a handler only the log has them.
// The handler gets the warning without error domains and codes (an error
// report in parentheses goes whole); the log keeps it all.
// Thread-safe; the handler is called on the reporting thread.
#pragma once

#include <functional>
#include <string>

namespace platform {

using UserWarningHandler = std::function<void(const std::string& warning)>;

// Replaces the handler (an empty one removes it); returns the previous one.
UserWarningHandler setUserWarningHandler(UserWarningHandler handler);
void warnUser(const std::string& warning);

// A warning that held while something lasted (a wait for a lock) no longer
// does: the window takes it away, and may show it again when it is told
// again. The command line keeps what it printed.
using WithdrawnWarningHandler = std::function<void(const std::string& warning)>;
WithdrawnWarningHandler setWithdrawnWarningHandler(WithdrawnWarningHandler handler);
void withdrawUserWarning(const std::string& warning);

}  // namespace platform
