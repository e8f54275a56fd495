#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "document/MyDocument.h"
#include "platform/Error.h"

// Saves a document's settings to the catalog from the window's thread
// without freezing it: the save runs on a thread of its own and, when it takes
// a moment (another program holds the catalog's lock), the windows go on
// drawing, the notice of the wait among what they draw, while user input
// waits, for at most the lock's bound. Main thread only.
class SettingsSave {
public:
    using Ptr = std::shared_ptr<SettingsSave>;
    static Ptr start(const MyDocument::Ptr& document);

    // Draws, input held, until the save is done or `limit` has passed since
    // it started; whether it is done.
    bool waitWhileDrawing(std::chrono::milliseconds limit);
    bool done() const;
    // Once done.
    bool saved() const;
    platform::Error error() const;
    // The person chose not to wait: the save ends as not saved, unless it
    // got the lock first.
    void stop();
    // Runs `then` on the main thread once the save is done.
    void whenDone(std::function<void()> then);

    struct State;

private:
    std::shared_ptr<State> state_;
    std::chrono::steady_clock::time_point started_;
};

// Saves, waiting for the catalog at most the lock's bound: a save still
// waiting then is stopped and fails as not saved.
bool saveSettingsWhileDrawing(const MyDocument::Ptr& document, platform::Error& error);
