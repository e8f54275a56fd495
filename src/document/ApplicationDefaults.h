// The application's start-up state that needs no window: the user defaults
// registered at start, the clean-up of the temporary folder at launch and at
// quit, the crash guard, the running flag and the reset of the stored state.
// The document controller and the application delegate call these; they hold
// no state of their own, so every function may be called from any thread
// (UserDefaults is thread-safe).
#pragma once

#include <vector>

#include "platform/Error.h"
#include "platform/UserDefaults.h"
#include "platform/Value.h"

class ApplicationDefaults {
public:
    // The defaults registered at start: booleans as the strings "YES"/"NO",
    // "ResolutionSelect" and "BrowserFileSelect" as integers.
    static platform::Dictionary registeredDefaults();
    static void registerDefaults(
        platform::UserDefaults& defaults = platform::UserDefaults::standard());

    // Empties the process's temporary folder and removes those that ended
    // instances left behind; folders of running instances stay.
    static void cleanTemporaryFolder();

    // When "QuorvexIsRunning" is still set (the last run did not end
    // normally) and "DisableFrameBuffer" is not, sets "DisableFrameBuffer"
    // and "DisableImageCache". Answers whether it did.
    static bool applyCrashGuard(
        platform::UserDefaults& defaults = platform::UserDefaults::standard());

    // Launch without the splash: clean-up, crash guard, then the running flag.
    // Answers whether the crash guard turned the cache and frame buffer off.
    static bool applicationDidFinishLaunching(
        platform::UserDefaults& defaults = platform::UserDefaults::standard());
    // Clears the running flag and removes the process's temporary folder.
    static void applicationWillTerminate(
        platform::UserDefaults& defaults = platform::UserDefaults::standard());

    // Deletes every preset and the "Catalog" store's file. Both steps run
    // even when the first fails; answers true when both succeeded, with the
    // failures in `errors`. A catalog that was never written is no failure.
    static bool resetQuorvex(std::vector<platform::Error>* errors = nullptr);
};
