// Runs the main queue on Qt's event loop. The MainRunLoop wake hook (called
// from any thread) posts one event per burst of tasks to a GUI-thread object,
// whose handler clears the flag and then drains; tasks queued meanwhile post
// the next event.
//
// install() is called once the QApplication exists: it sets the hook and
// wakes once at once for tasks queued before. uninstall() removes the hook
// before the application dies. The hook holds the shared state, so a call
// already under way when the hook is removed finds no target and posts
// nothing: the target is deleted only after that, under the same lock.
//
// drain() is never re-entered: a task that opens a nested event loop (it
// should use open(), never exec()) only defers the next drain to the end of
// the current one.
#pragma once

namespace platform {

class MainQueueWaker {
public:
    static void install();
    static void uninstall();
    static bool installed();
};

}  // namespace platform
