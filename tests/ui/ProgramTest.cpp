// The quorvex-gui program itself, started in a private home and runtime
// folder on the offscreen platform: a signal quits it in order, so the
// running flag is cleared; a second launch hands its files to the first.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dng/image/HandMadeDng.h"
#include "platform/UserDefaults.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

bool runningFlag(const fs::path& config) {
    platform::UserDefaults defaults(config / "Quorvex" / "Defaults.plist");
    return defaults.boolForKey("QuorvexIsRunning");
}

// Waits for the child to exit; its status, or -1 after the timeout.
int waitForExit(pid_t pid, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

// Starts quorvex-gui with `files` in the scratch home, its runtime folder
// "runtime" beside it and its standard error, where --verbose sends the
// program's log, in `log`.
pid_t launch(const testsupport::ScratchDir& home, const std::vector<std::string>& files = {},
             const std::string& log = "gui.log", bool verbose = true) {
    const fs::path runtime = home.path() / "runtime";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    const fs::path logPath = home.path() / log;
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    home.becomeHome();
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd >= 0) ::dup2(fd, 2);
    std::vector<char*> argv{const_cast<char*>(QUORVEX_GUI_PROGRAM)};
    if (verbose) argv.push_back(const_cast<char*>("--verbose"));
    for (const std::string& file : files) argv.push_back(const_cast<char*>(file.c_str()));
    argv.push_back(nullptr);
    ::execv(QUORVEX_GUI_PROGRAM, argv.data());
    ::_exit(127);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool waitFor(const std::function<bool()>& done, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The running instance listens once its socket exists.
bool listening(const testsupport::ScratchDir& home) {
    return fs::exists(home.path() / "runtime" / "Quorvex.socket");
}

// Writes bytes to the running instance's socket as any local process could.
void sendToSocket(const testsupport::ScratchDir& home, const std::string& bytes) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = (home.path() / "runtime" / "Quorvex.socket").string();
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::close(fd);
}

bool stillRunning(pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == 0; }

// Kills the children a failed test leaves running.
struct Reaper {
    std::vector<pid_t> pids;
    pid_t operator()(pid_t pid) {
        pids.push_back(pid);
        return pid;
    }
    ~Reaper() {
        for (pid_t pid : pids)
            if (stillRunning(pid)) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
    }
};

// The program's private temporary folders left in TMPDIR.
int temporaryFolders(const fs::path& tmp) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(tmp))
        if (entry.path().filename().string().rfind("Quorvex-", 0) == 0) ++count;
    return count;
}

// ...and a normal quit leaves no temporary folder behind.
TEST(Program, TerminationSignalsClearTheRunningFlag) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        testsupport::ScratchDir home;
        const fs::path config = home.path() / "config";
        const pid_t pid = launch(home);
        ASSERT_GE(pid, 0);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!runningFlag(config) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(runningFlag(config)) << "the program did not start";
        EXPECT_EQ(temporaryFolders(home.path() / "tmp"), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // into its event loop
        ::kill(pid, sig);
        const int status = waitForExit(pid, std::chrono::seconds(20));
        ASSERT_TRUE(WIFEXITED(status)) << "signal " << sig << " status " << status;
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_FALSE(runningFlag(config)) << "signal " << sig;
        EXPECT_EQ(temporaryFolders(home.path() / "tmp"), 0) << "signal " << sig;
    }
}

// A folder named on the command line opens in the browser, and the program
// goes on running.
TEST(Program, AFolderOnTheCommandLineOpensInTheBrowser) {
    testsupport::ScratchDir home;
    Reaper reap;
    const fs::path config = home.path() / "config";
    const fs::path pictures = home.path() / "pics";
    fs::create_directories(pictures);
    const pid_t pid = reap(launch(home, {pictures.string()}));
    const auto browsed = [&] {
        platform::UserDefaults defaults(config / "Quorvex" / "Defaults.plist");
        const auto data = defaults.dataForKey("imageDirectoryBookmark");
        return std::string(data.begin(), data.end()) == pictures.string();
    };
    EXPECT_TRUE(waitFor(browsed, std::chrono::seconds(20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(stillRunning(pid)) << readFile(home.path() / "gui.log");
    ::kill(pid, SIGTERM);
    const int status = waitForExit(pid, std::chrono::seconds(20));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Without --verbose the log goes to its file in the state folder, not to the
// terminal the program was started from.
TEST(Program, KeepsItsLogInTheStateFolderUnlessVerbose) {
    testsupport::ScratchDir home;
    Reaper reap;
    const fs::path config = home.path() / "config";
    const pid_t pid = reap(launch(home, {}, "quiet.log", false));
    ASSERT_TRUE(
        waitFor([&] { return listening(home) && runningFlag(config); }, std::chrono::seconds(20)));
    sendToSocket(home, "QuorvexOpen1 -5\n");  // something the program logs
    const fs::path logFile = home.path() / "state" / "Quorvex" / "quorvex.log";
    EXPECT_TRUE(waitFor(
        [&] { return readFile(logFile).find("refuses a malformed request") != std::string::npos; },
        std::chrono::seconds(10)));
    ::kill(pid, SIGTERM);
    ASSERT_TRUE(WIFEXITED(waitForExit(pid, std::chrono::seconds(20))));
    EXPECT_EQ(readFile(home.path() / "quiet.log").find("refuses"), std::string::npos);
}

// Two instances would corrupt each other's defaults: the second launch gives
// its files to the first and exits without touching them.
TEST(Program, ASecondLaunchHandsItsFilesToTheRunningOne) {
    testsupport::ScratchDir home;
    Reaper reap;
    const fs::path config = home.path() / "config";
    const pid_t first = reap(launch(home));
    ASSERT_TRUE(
        waitFor([&] { return listening(home) && runningFlag(config); }, std::chrono::seconds(20)));

    // Malformed requests on the socket are refused without harm.
    for (const std::string& junk :
         {std::string("QuorvexOpen1 99999999999\n"), std::string(4096, 'x'),
          std::string("QuorvexOpen1 -5\n"), std::string("QuorvexOpen1 3\nabcdef")})
        sendToSocket(home, junk);

    const std::string file = (home.path() / "picture.dng").string();
    const pid_t second = reap(launch(home, {file}, "second.log"));
    const int status = waitForExit(second, std::chrono::seconds(20));
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(waitFor(
        [&] {
            return readFile(home.path() / "gui.log").find("opens " + file) != std::string::npos;
        },
        std::chrono::seconds(10)))
        << readFile(home.path() / "gui.log");
    const std::string log = readFile(home.path() / "gui.log");
    size_t refused = 0;
    for (size_t at = log.find("refuses a malformed request"); at != std::string::npos;
         at = log.find("refuses a malformed request", at + 1))
        ++refused;
    EXPECT_EQ(refused, 4u) << log;
    // The crash guard did not take the running first instance for a crash.
    platform::UserDefaults defaults(config / "Quorvex" / "Defaults.plist");
    EXPECT_FALSE(defaults.boolForKey("DisableFrameBuffer"));
    EXPECT_FALSE(defaults.boolForKey("DisableImageCache"));

    // Without files, the running browser comes forward.
    const int plain = waitForExit(reap(launch(home, {}, "third.log")), std::chrono::seconds(20));
    ASSERT_TRUE(WIFEXITED(plain)) << plain;
    EXPECT_EQ(WEXITSTATUS(plain), 0);
    EXPECT_TRUE(waitFor(
        [&] {
            return readFile(home.path() / "gui.log").find("browser forward") != std::string::npos;
        },
        std::chrono::seconds(10)));

    EXPECT_TRUE(stillRunning(first));
    ::kill(first, SIGTERM);
    const int firstStatus = waitForExit(first, std::chrono::seconds(20));
    ASSERT_TRUE(WIFEXITED(firstStatus));
    EXPECT_FALSE(runningFlag(config));
    EXPECT_FALSE(listening(home));
}

// A logout while the photo's close waits behind a holder that never lets
// go: the program ends within 6 seconds of the signal, the edits in the
// pending file; the next start, the holder gone, puts them in the catalog
// and says so.
TEST(Program, ALogoutBehindAHolderThatNeverLetsGoEndsInTimeAndLosesNothing) {
    testsupport::ScratchDir home;
    Reaper reap;
    const fs::path photo = home.path() / "pic.dng";
    handdng::Write(photo.string(), handdng::Build(handdng::SharedDeflateTiles(32, 32)));
    const fs::path catalog = home.path() / "data" / "Quorvex" / "Catalog";
    const fs::path pending = home.path() / "data" / "Quorvex" / "PendingEdits.plist";
    fs::create_directories(catalog);
    const pid_t first = reap(launch(home, {photo.string()}));
    ASSERT_TRUE(waitFor(
        [&] {
            return readFile(home.path() / "gui.log").find("file open: " + photo.string()) !=
                   std::string::npos;
        },
        std::chrono::seconds(20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    testsupport::LockHolder holder(catalog / ".QuorvexCatalog.plist.lock");
    ASSERT_TRUE(holder.hold("burn"));
    const auto start = std::chrono::steady_clock::now();
    ::kill(first, SIGTERM);
    const int status = waitForExit(first, std::chrono::seconds(20));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(readFile(pending).find(photo.string()), std::string::npos)
        << readFile(home.path() / "gui.log");
    EXPECT_EQ(readFile(catalog / "QuorvexCatalog.plist").find(photo.string()), std::string::npos);

    holder.letGo();
    const pid_t second = reap(launch(home, {}, "second.log"));
    EXPECT_TRUE(waitFor(
        [&] {
            return readFile(home.path() / "second.log")
                       .find(
                           "The edits of 1 photo that could not be saved when Quorvex last "
                           "ended are now in the catalog.") != std::string::npos;
        },
        std::chrono::seconds(20)))
        << readFile(home.path() / "second.log");
    EXPECT_NE(readFile(catalog / "QuorvexCatalog.plist").find(photo.string()), std::string::npos);
    EXPECT_FALSE(fs::exists(pending));
    ::kill(second, SIGTERM);
    EXPECT_TRUE(WIFEXITED(waitForExit(second, std::chrono::seconds(20))));
}

// A killed instance leaves its socket file; the next launch runs anyway and
// takes later launches' files.
TEST(Program, AKilledInstanceNeverBlocksTheNextLaunch) {
    testsupport::ScratchDir home;
    Reaper reap;
    const pid_t killed = reap(launch(home));
    ASSERT_TRUE(waitFor([&] { return listening(home); }, std::chrono::seconds(20)));
    ::kill(killed, SIGKILL);
    ::waitpid(killed, nullptr, 0);
    ASSERT_TRUE(listening(home));  // the stale socket

    const pid_t next = reap(launch(home, {}, "next.log"));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ASSERT_TRUE(stillRunning(next));
    const std::string file = (home.path() / "later.dng").string();
    const int status =
        waitForExit(reap(launch(home, {file}, "later.log")), std::chrono::seconds(20));
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(waitFor(
        [&] {
            return readFile(home.path() / "next.log").find("opens " + file) != std::string::npos;
        },
        std::chrono::seconds(10)))
        << readFile(home.path() / "next.log");
    ::kill(next, SIGTERM);
    EXPECT_NE(waitForExit(next, std::chrono::seconds(20)), -1);
}

// Launches at the same moment settle on one instance through the lock.
TEST(Program, SimultaneousLaunchesLeaveOneInstance) {
    testsupport::ScratchDir home;
    Reaper reap;
    std::vector<pid_t> pids;
    for (int i = 0; i < 4; ++i)
        pids.push_back(reap(launch(home, {}, "launch" + std::to_string(i))));
    // All but one hand over and end.
    std::vector<pid_t> running = pids;
    ASSERT_TRUE(waitFor(
        [&] {
            std::erase_if(running, [](pid_t pid) {
                int status = 0;
                if (::waitpid(pid, &status, WNOHANG) != pid) return false;
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
                return true;
            });
            return running.size() <= 1;
        },
        std::chrono::seconds(30)));
    ASSERT_EQ(running.size(), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(stillRunning(running[0]));
    ::kill(running[0], SIGTERM);
    EXPECT_NE(waitForExit(running[0], std::chrono::seconds(20)), -1);
}

}  // namespace
