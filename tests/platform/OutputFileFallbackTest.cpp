// Publishing on mounts that have neither a no-replace rename nor hard links
// (FUSE mounts of FAT and exFAT cards): both calls fail here as those
// mounts make them fail, and nothing may be replaced all the same.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "platform/OutputFile.h"
#include "support/TestSupport.h"

namespace {

// The errors the two calls give while a test runs; 0 passes them through.
std::atomic<int> renameFailure{0}, linkFailure{0};
std::atomic<int> renameCalls{0}, linkCalls{0};

}  // namespace

// Defined in the test program, these take the place of the C library's.
extern "C" int renameat2(int oldFd, const char* oldName, int newFd, const char* newName,
                         unsigned flags) noexcept {
    ++renameCalls;
    if (const int err = renameFailure.load(); err && flags != 0) {
        errno = err;
        return -1;
    }
    return int(::syscall(SYS_renameat2, oldFd, oldName, newFd, newName, flags));
}

extern "C" int linkat(int oldFd, const char* oldName, int newFd, const char* newName,
                      int flags) noexcept {
    ++linkCalls;
    if (const int err = linkFailure.load()) {
        errno = err;
        return -1;
    }
    return int(::syscall(SYS_linkat, oldFd, oldName, newFd, newName, flags));
}

namespace {

namespace fs = std::filesystem;
using platform::OutputFile;

std::string contents(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::optional<fs::path> writeAndPublish(const fs::path& destination, const std::string& bytes,
                                        const OutputFile::Policy& policy,
                                        platform::Error* error = nullptr) {
    auto file = OutputFile::create(destination, error);
    if (!file) return std::nullopt;
    std::fputs(bytes.c_str(), file->stream());
    return file->publish(policy, error);
}

size_t entries(const fs::path& folder) {
    return size_t(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

class Unsupported {
public:
    Unsupported(int renameError, int linkError) {
        renameFailure = renameError;
        linkFailure = linkError;
        renameCalls = linkCalls = 0;
    }
    ~Unsupported() { renameFailure = linkFailure = 0; }
};

TEST(OutputFileFallback, WithoutNoReplaceRenameOrLinksNothingIsReplaced) {
    const std::pair<int, int> mounts[] = {
        {EINVAL, EPERM}, {EINVAL, EOPNOTSUPP}, {ENOSYS, ENOSYS}, {EOPNOTSUPP, EMLINK}};
    for (const auto& [renameError, linkError] : mounts) {
        SCOPED_TRACE(std::to_string(renameError) + "/" + std::to_string(linkError));
        testsupport::ScratchDir dir;
        const auto a = dir.path() / "a.jpg";
        std::ofstream(a) << "camera";
        Unsupported mount(renameError, linkError);
        OutputFile::Policy numbered, plain;
        numbered.numbered = true;
        EXPECT_EQ(writeAndPublish(dir.path() / "b.jpg", "b", plain), dir.path() / "b.jpg");
        EXPECT_EQ(writeAndPublish(a, "one", numbered), dir.path() / "a_1.jpg");
        platform::Error error;
        EXPECT_FALSE(writeAndPublish(a, "two", plain, &error));
        EXPECT_EQ(error.code, EEXIST);
        EXPECT_GT(renameCalls.load(), 0);
        EXPECT_GT(linkCalls.load(), 0);
        EXPECT_EQ(contents(a), "camera");
        EXPECT_EQ(contents(dir.path() / "a_1.jpg"), "one");
        EXPECT_EQ(contents(dir.path() / "b.jpg"), "b");
        // No claimed name and no partial file is left.
        EXPECT_EQ(entries(dir.path()), 3u);
    }
}

// Writers racing for one name each claim a different one.
TEST(OutputFileFallback, ConcurrentWritersOfOneNameGetOneFileEach) {
    testsupport::ScratchDir dir;
    Unsupported mount(EINVAL, EPERM);
    OutputFile::Policy policy;
    policy.numbered = true;
    std::vector<std::thread> threads;
    std::vector<std::optional<fs::path>> results(8);
    for (size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] {
            results[i] = writeAndPublish(dir.path() / "a.jpg", std::to_string(i), policy);
        });
    for (auto& t : threads) t.join();
    std::set<fs::path> names;
    for (size_t i = 0; i < results.size(); ++i) {
        ASSERT_TRUE(results[i]);
        names.insert(*results[i]);
        EXPECT_EQ(contents(*results[i]), std::to_string(i));
    }
    EXPECT_EQ(names.size(), results.size());
    EXPECT_EQ(entries(dir.path()), results.size());
}

// Any other failure of the link is the system's answer, told as it is.
TEST(OutputFileFallback, OtherFailuresAreTold) {
    testsupport::ScratchDir dir;
    Unsupported mount(EINVAL, EIO);
    platform::Error error;
    EXPECT_FALSE(writeAndPublish(dir.path() / "a.jpg", "a", {}, &error));
    EXPECT_EQ(error.code, EIO);
    EXPECT_EQ(entries(dir.path()), 0u);
}

}  // namespace
