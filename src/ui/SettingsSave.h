#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "document/MyDocument.h"
#include "platform/Error.h"

// Saves a document's settings to the catalog on a thread of its own, so that
// whoever asked goes on answering while the save waits for the catalog's
// lock (another program holds it). Nothing here holds the person's input:
// a window that waits for a save answers as usual meanwhile.
// start, whenDone and whenWaitTold on the main thread; the rest any thread.
class SettingsSave {
public:
    using Ptr = std::shared_ptr<SettingsSave>;
    static Ptr start(const MyDocument::Ptr& document);

    // Blocks the calling thread until the save is done, `limit` has passed
    // since it started, or `cancel` is set; whether it is done. The main
    // thread waits this way only for moments.
    bool waitFor(std::chrono::milliseconds limit, const std::atomic<bool>* cancel = nullptr);
    bool done() const;
    // Once done.
    bool saved() const;
    platform::Error error() const;
    // The person chose not to wait: the save ends as not saved, also when
    // the lock comes at that moment.
    void stop();
    // Runs `then` on the main thread once the save is done.
    void whenDone(std::function<void()> then);
    // Runs `told` on the main thread with the notice of what the save waits
    // for, as the person is told (the notice's post comes after it).
    void whenWaitTold(std::function<void(const std::string& notice)> told);
    // The words told that the save's wait ran out: whoever answers what they
    // led to takes them back.
    std::vector<std::string> ranOutNotices() const;

    struct State;

private:
    std::shared_ptr<State> state_;
    std::chrono::steady_clock::time_point started_;
};

// Saves on a thread of its own and waits for at most `limit`, or until
// `cancel` is set: a save still waiting then is stopped and fails as not
// saved. For threads other than the main one.
bool saveSettingsWithin(const MyDocument::Ptr& document, std::chrono::milliseconds limit,
                        const std::atomic<bool>* cancel, platform::Error& error);
