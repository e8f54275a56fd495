// Shared helpers for the test suites: where the real test files live and a
// private scratch folder per test that never touches the user's home.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// ../shared/testdata seen from the repository root (read only).
std::filesystem::path testdataDir();

// A fresh, empty folder under the build's temporary area, removed when the
// object dies. HOME and the XDG variables can be pointed into it.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    // Points HOME, XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_STATE_HOME and TMPDIR
    // inside this folder.
    void becomeHome() const;

private:
    std::filesystem::path path_;
};

// The one home fixture: a scratch folder that serves as HOME, XDG_* and TMPDIR
// while the object lives; the previous environment is put back afterwards, so
// later tests (and the scratch folders they make) never point into a deleted
// folder. `forget` runs after each switch, for process-wide stores that cache
// a folder (the user defaults, the catalog, the presets) to look again.
class ScopedHome {
public:
    explicit ScopedHome(std::function<void()> forget = {});
    ~ScopedHome();
    ScopedHome(const ScopedHome&) = delete;
    ScopedHome& operator=(const ScopedHome&) = delete;
    const std::filesystem::path& path() const { return scratch_->path(); }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
    std::optional<ScratchDir> scratch_;
    std::function<void()> forget_;
};

// The chart tool, for test programs the build gives it to (empty otherwise),
// and a chart of `size` ("WxH") it writes in `folder`: its path, or empty
// when none could be written.
inline std::filesystem::path chartTool() {
#ifdef QUORVEX_MAKE_TEST_CHART
    return QUORVEX_MAKE_TEST_CHART;
#else
    return {};
#endif
}
inline std::filesystem::path makeChart(const std::filesystem::path& folder,
                                       const std::string& size) {
    const auto dng = folder / ("chart-" + size + ".dng");
    const std::string cmd =
        chartTool().string() + " --size " + size + " --output \"" + dng.string() + "\" >/dev/null";
    return !chartTool().empty() && std::system(cmd.c_str()) == 0 ? dng : std::filesystem::path();
}

// A whole file's bytes (empty when it cannot be read), and bytes written as a file.
std::vector<uint8_t> fileBytes(const std::filesystem::path& path);
void writeFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

// Makes a FIFO (named pipe) at `path`, with its folders.
bool makeFifo(const std::filesystem::path& path);
// Runs `work` and says whether it returned within `seconds`. Work that blocks
// on the FIFO is released afterwards (a writer comes and goes) so the test
// can go on and report the hang as a failure.
bool finishesWithoutBlocking(const std::filesystem::path& fifo, const std::function<void()>& work,
                             double seconds = 10);

// Caps this process's address space at what it uses now plus `headroom`
// bytes while the object lives (lift() ends it early): larger allocations
// and new threads' stacks are refused as on a machine short of memory.
class AddressSpaceLimit {
public:
    explicit AddressSpaceLimit(size_t headroom);
    ~AddressSpaceLimit() { lift(); }
    void lift();

private:
    unsigned long long saved_ = 0;
    bool active_ = false;
};

// While it lives, a write past `bytes` into any file fails (EFBIG), as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(unsigned long long bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    unsigned long long saved_ = 0;
    void (*savedSignal_)(int) = nullptr;
};

// Bytes this process has read so far, by any means.
unsigned long long bytesReadSoFar();

// Runs this test program again as a helper process, to act as another run of
// the application on the same files: the helper gets `arguments` from
// helperArguments() at its start (see QUORVEX_TEST_HELPER below) and runs no
// test. Answers its process id, or -1.
int spawnHelper(const std::vector<std::string>& arguments);
// Waits for a helper; its exit status, or -1 when it did not exit normally.
int waitForHelper(int pid);
// The arguments of a helper run; empty in an ordinary run.
std::vector<std::string> helperArguments();

// A helper's body for another program holding a lock: {"hold", LOCKFILE, MS,
// HOW, READY[, "shared"]} holds LOCKFILE (flock, exclusive unless "shared")
// for MS ms, then writes READY; HOW "burn" works through a process it
// started (as `flock FILE command` does), "sleep" sleeps.
int holdLock(const std::vector<std::string>& arguments);
// Spawns such a holder and waits until it holds the lock; its process id, or -1.
int spawnLockHolder(const std::filesystem::path& lockFile, int ms, const std::string& how,
                    const std::filesystem::path& ready, bool shared = false);

// Such a holder from hold() until letGo() or the end of its scope; letGo()
// returns once the lock is free, the process the holder started gone too.
class LockHolder {
public:
    explicit LockHolder(std::filesystem::path lockFile) : lock_(std::move(lockFile)) {}
    ~LockHolder() { letGo(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    // HOW as holdLock's; false when no holder came to hold it.
    bool hold(const std::string& how, bool shared = false, int ms = 60'000);
    void letGo();

private:
    std::filesystem::path lock_;
    int pid_ = -1;
};

}  // namespace testsupport

// Defines what a helper run of this test program does: `body` gets the
// arguments and answers the exit status. Runs before the tests would start.
#define QUORVEX_TEST_HELPER(body)                                                  \
    namespace {                                                                    \
    const bool quorvexTestHelperRan = [] {                                         \
        const std::vector<std::string> arguments = testsupport::helperArguments(); \
        if (!arguments.empty()) std::_Exit(body(arguments));                       \
        return false;                                                              \
    }();                                                                           \
    }
