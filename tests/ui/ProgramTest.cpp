// The quorvex-gui program itself, started in a private home on the offscreen
// platform: a signal quits it in order, so the running flag is cleared.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

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
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            home.becomeHome();
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            ::execl(QUORVEX_GUI_PROGRAM, QUORVEX_GUI_PROGRAM, static_cast<char*>(nullptr));
            ::_exit(127);
        }
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

}  // namespace
