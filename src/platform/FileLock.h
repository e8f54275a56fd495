// An advisory lock (flock) on a small file beside what it guards, shared by
// every process of the user: changes to a settings file are a
// read-modify-write under the exclusive lock, so concurrent changes from any
// number of processes all survive. Readers of a file replaced by rename need
// no lock; those that list a folder being filled take the shared one.
//
// Where the lock file cannot be made (a read-only folder) or the file system
// keeps no locks, the lock is not held and the caller goes on without it:
// what it writes there fails or races as before, nothing waits forever.
//
// A wait is told within moments, whatever the holder does, and the notice
// withdrawn when it ends. A read waits at most waitLimit() in all, since it
// goes on without the lock anyway: it does not wait again while the lock
// stays kept, its file untouched, since its wait ran out (a shared lock had
// meanwhile does not end that for an exclusive one). A change
// waits while the lock changes hands, its file changes, or its holder (or a
// process the holder started) works; one kept by a holder that is stopped or
// sleeps (a stopped batch, a hung window, a sync tool) is waited for at most
// waitLimit() of stillness. Then the lock is not held and timedOut() is
// true: the caller reads without it and reports a change it cannot make
// safely as not saved. A wait that ran out stays queued and the next attempt
// of this process joins it, so it never holds the lock against its own
// process.
//
// One object per holder; not shared between threads. Two objects on the same
// lock file exclude each other also within one process: a wait behind a
// holder of this process names it by its purpose ("this program's own save
// of …"), and waits as for another program, with no lock of ours held.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

namespace platform {

class FileLock {
public:
    enum class Mode { Shared, Exclusive };
    static constexpr std::chrono::milliseconds kWaitLimit{4000};
    // The bound in force: kWaitLimit unless tests shortened it.
    static std::chrono::milliseconds waitLimit();
    static void setWaitLimit(std::chrono::milliseconds limit);  // any thread
    // "4 seconds", "1.5 seconds": the bound for the person told.
    static std::string waitLimitText();

    // How long to wait for another holder: as the mode says, or as a read
    // does, for a change the caller can do without (one made again at a
    // later use, as the factory presets are); or not at all, for a caller
    // that must answer at once (a window's thread): a lock another holder
    // keeps is then not held and timedOut() is true, without a word.
    enum class Wait { ForMode, AsARead, Never };

    // `guarded` names what the lock guards for the person told about a wait
    // ("the catalog \"…\""); empty: the lock file's path.
    FileLock(const std::filesystem::path& lockFile, Mode mode, std::string guarded = {},
             Wait wait = Wait::ForMode);

    // While one lives, the waits of its thread end as ones that ran out as
    // soon as `stop` is set (the person chose not to wait), without a word;
    // a lock that comes once it is set, however it comes, is let go.
    class StopWhen {
    public:
        explicit StopWhen(const std::atomic<bool>& stop);
        ~StopWhen();
        StopWhen(const StopWhen&) = delete;
        StopWhen& operator=(const StopWhen&) = delete;

    private:
        const std::atomic<bool>* previous_;
    };

    // While one lives, what its thread's waits tell the person is also
    // handed to it, just before it is told: `ranOut` false for the notice of a
    // wait, true for the word that one ran out. That word is withdrawn by
    // itself once the holders it names let go (or are gone); whoever the
    // wait was for may withdraw it sooner, once the person answered it.
    class NoticeWatch {
    public:
        using Told = std::function<void(const std::string& notice, bool ranOut)>;
        explicit NoticeWatch(Told told);
        ~NoticeWatch();
        NoticeWatch(const NoticeWatch&) = delete;
        NoticeWatch& operator=(const NoticeWatch&) = delete;
        const Told& told() const { return told_; }

    private:
        Told told_;
        NoticeWatch* previous_;
    };

    // While one lives, the locks its thread takes are named to the other
    // waits of this process as "this program's own " + `what` ("save of the
    // edits of \"a.dng\"").
    class Purpose {
    public:
        explicit Purpose(std::string what);
        ~Purpose();
        Purpose(const Purpose&) = delete;
        Purpose& operator=(const Purpose&) = delete;

    private:
        std::string what_;
        const std::string* previous_;
    };

    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool held() const { return held_; }
    // Another program kept the lock past the wait (or the wait was stopped).
    bool timedOut() const { return timedOut_; }
    // Who kept the lock when the wait ended without it: "another program
    // (process 1234, \"flock\")", "this program's own save of …".
    const std::string& keptBy() const { return keptBy_; }
    Mode mode() const { return mode_; }
    // Turns a shared lock into an exclusive one. Not atomic: another holder
    // may change things in between, so read again after.
    void makeExclusive();

private:
    bool acquire();
    // Waited for at most the bound in all.
    bool boundedWait() const { return mode_ == Mode::Shared || wait_ == Wait::AsARead; }
    std::string waitNotice() const;
    // Who holds the lock now, as keptBy() says it.
    std::string holderText() const;
    void noteHeld();
    void forgetHeld();
    // Tells that the wait ran out; false.
    bool givenUp();
    // Whether a lock just taken may be kept: not when the person stopped the
    // wait meanwhile (then it is let go, as a wait that ran out).
    bool keepTaken();
    std::string lockAndHolder() const;

    std::filesystem::path file_;
    std::string guarded_;
    int fd_ = -1;
    bool held_ = false;
    bool timedOut_ = false;
    Mode mode_;
    Wait wait_;
    std::string purpose_;  // of the thread that made it
    std::string keptBy_;
    bool noted_ = false;  // among the holders of this process
};

}  // namespace platform
