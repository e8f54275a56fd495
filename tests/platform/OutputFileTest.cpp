// Files written beside their name and put in place: names, modes, the
// no-replace rule, protected files and the cleaning of dead processes' files,
// also on mounts that have neither a no-replace rename nor hard links (FUSE
// mounts of FAT and exFAT cards), where both calls fail here as they fail
// there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "platform/CaselessNames.h"
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

void put(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
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

pid_t deadProcessId() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

TEST(OutputFile, TemporaryNamesStayWithinTheLimitAndHidden) {
    const std::string longName = std::string(120, 'a') + std::string(60, '\xC3') + ".jpg";
    std::string shortened;
    for (int i = 0; i < 60; ++i) shortened += "\xC3\xA9";  // two bytes each
    const std::string utf8Name = std::string(120, 'a') + shortened + ".jpg";
    for (const std::string& name : {longName, utf8Name, std::string("a.jpg")}) {
        const std::string t = OutputFile::temporaryNameFor(name, 4000000000u);
        EXPECT_LE(t.size(), OutputFile::kMaxNameBytes) << name;
        EXPECT_EQ(t[0], '.');
    }
    // A shortened stem never ends inside a character.
    const std::string t = OutputFile::temporaryNameFor(utf8Name, 1);
    const std::string stem = t.substr(1, t.find(".partial-") - 1);
    EXPECT_EQ(utf8Name.compare(0, stem.size(), stem), 0);
    EXPECT_NE(static_cast<unsigned char>(stem.back()), 0xC3);
    EXPECT_EQ(OutputFile::temporaryNameFor("a.jpg", 7),
              ".a.jpg.partial-" + std::to_string(::getpid()) + "-7");
}

TEST(OutputFile, TakenNamesAreNumberedOrRefusedNeverReplaced) {
    testsupport::ScratchDir dir;
    const auto a = dir.path() / "a.jpg";
    put(a, "old");
    OutputFile::Policy numbered;
    numbered.numbered = true;
    EXPECT_EQ(writeAndPublish(a, "one", numbered), dir.path() / "a_1.jpg");
    EXPECT_EQ(writeAndPublish(a, "two", numbered), dir.path() / "a_2.jpg");
    EXPECT_EQ(contents(a), "old");
    EXPECT_EQ(contents(dir.path() / "a_2.jpg"), "two");

    platform::Error error;
    EXPECT_FALSE(writeAndPublish(a, "three", {}, &error));
    EXPECT_EQ(error.code, EEXIST);
    EXPECT_EQ(contents(a), "old");

    OutputFile::Policy replace;
    replace.replace = true;
    EXPECT_EQ(writeAndPublish(a, "new", replace), a);
    EXPECT_EQ(contents(a), "new");
    // Nothing temporary is left, published or not.
    EXPECT_EQ(entries(dir.path()), 3u);
}

// A writer that opens a path itself reaches the file made, not the name.
TEST(OutputFile, TheFreeNameForeseenIsTheOnePublishTakes) {
    testsupport::ScratchDir dir;
    const auto a = dir.path() / "a.jpg";
    put(a, "old");
    fs::create_symlink(dir.path() / "nowhere", dir.path() / "a_1.jpg");
    OutputFile::Policy numbered;
    numbered.numbered = true;
    EXPECT_EQ(OutputFile::firstFreeName(a, false), std::nullopt);
    const auto foreseen = OutputFile::firstFreeName(a, true);
    ASSERT_EQ(foreseen, dir.path() / "a_2.jpg");
    EXPECT_EQ(writeAndPublish(a, "new", numbered), foreseen);
    EXPECT_EQ(OutputFile::firstFreeName(dir.path() / "b.tif", false), dir.path() / "b.tif");
}

// Names one letter case or normalisation away from a file's are one name on
// a camera card and most other systems: never taken, with or without replace.
TEST(OutputFile, NamesMatchingAnotherFileIgnoringCaseAndNormalisationAreTaken) {
    using platform::CaselessNames;
    const std::string nfc = "Caf\xC3\xA9", nfd = "Cafe\xCC\x81";  // é, e + acute
    EXPECT_EQ(CaselessNames::key("IMG_0001.JPG"), CaselessNames::key("img_0001.jpg"));
    EXPECT_EQ(CaselessNames::key(nfc + ".jpg"), CaselessNames::key("CAF\xC3\x89.JPG"));
    EXPECT_EQ(CaselessNames::key(nfc + ".jpg"), CaselessNames::key(nfd + ".JPG"));
    EXPECT_EQ(CaselessNames::key("\xE2\x84\xAA.jpg"), CaselessNames::key("k.jpg"));  // Kelvin sign
    EXPECT_NE(CaselessNames::key("Cafe.jpg"), CaselessNames::key(nfc + ".jpg"));
    EXPECT_NE(CaselessNames::key("IMG_0001.jpg"), CaselessNames::key("IMG_0001.jpeg"));
    // Full folding: final and other sigmas, sharp s.
    EXPECT_EQ(CaselessNames::key("\xCE\xA3\xCE\x91\xCE\xA3.jpg"),
              CaselessNames::key("\xCF\x83\xCE\xB1\xCF\x82.JPG"));
    EXPECT_EQ(CaselessNames::key("Stra\xC3\x9F"
                                 "e.jpg"),
              CaselessNames::key("STRASSE.jpg"));
    // Bytes that are no UTF-8 match only themselves (ASCII letters in any case).
    EXPECT_EQ(CaselessNames::key("A\xFF.jpg"), CaselessNames::key("a\xFF.JPG"));
    EXPECT_NE(CaselessNames::key("a\xFF.jpg"), CaselessNames::key("a\xFE.jpg"));

    testsupport::ScratchDir dir;
    put(dir.path() / "IMG_0001.JPG", "camera");
    put(dir.path() / (nfd + ".JPG"), "camera");
    OutputFile::Policy numbered, replace, plain;
    numbered.numbered = true;
    replace.replace = true;
    const auto img = dir.path() / "IMG_0001.jpg", cafe = dir.path() / (nfc + ".jpg");
    EXPECT_EQ(OutputFile::firstFreeName(img, true), dir.path() / "IMG_0001_1.jpg");
    EXPECT_EQ(OutputFile::firstFreeName(cafe, false), std::nullopt);
    EXPECT_EQ(writeAndPublish(img, "new", numbered), dir.path() / "IMG_0001_1.jpg");
    EXPECT_EQ(writeAndPublish(cafe, "new", numbered), dir.path() / (nfc + "_1.jpg"));
    // Replacing replaces only an exact name; a case variant is passed over.
    EXPECT_EQ(writeAndPublish(img, "newer", replace), dir.path() / "IMG_0001_1.jpg");
    EXPECT_EQ(contents(dir.path() / "IMG_0001_1.jpg"), "newer");
    EXPECT_EQ(writeAndPublish(dir.path() / "img_0001_1.JPG", "newer", replace),
              dir.path() / "img_0001_1_1.JPG");
    EXPECT_EQ(writeAndPublish(dir.path() / "IMG_0001_1.jpg", "newest", replace),
              dir.path() / "IMG_0001_1.jpg");
    EXPECT_EQ(contents(dir.path() / "IMG_0001_1.jpg"), "newest");
    platform::Error error;
    EXPECT_EQ(writeAndPublish(dir.path() / "img_0001.jpg", "new", plain, &error), std::nullopt);
    EXPECT_EQ(error.code, EEXIST);
    EXPECT_EQ(contents(dir.path() / "IMG_0001.JPG"), "camera");
    EXPECT_EQ(contents(dir.path() / (nfd + ".JPG")), "camera");
    // Names a caller listed once are used, and the published one added.
    auto names = CaselessNames::ofFolder(dir.path());
    names.add("being-copied.jpg");
    OutputFile::Policy listed = numbered;
    listed.folderNames = &names;
    EXPECT_EQ(writeAndPublish(dir.path() / "Being-Copied.JPG", "new", listed),
              dir.path() / "Being-Copied_1.JPG");
    EXPECT_TRUE(names.holds("being-copied_1.jpg"));
    EXPECT_EQ(entries(dir.path()), 6u);
}

// Replacing replaces only a file the folder lists under exactly the name,
// a regular file the caller allows (its own export), the very file it was
// shown; anything else is passed over for the next number, or refused.
TEST(OutputFile, ReplacingTouchesOnlyAnExactNamesFileThatMayBeReplaced) {
    testsupport::ScratchDir dir;
    const auto camera = dir.path() / "IMG_0004.jpg", ours = dir.path() / "ours.jpg";
    put(camera, "camera");
    put(ours, "ours");
    fs::create_symlink(ours, dir.path() / "link.jpg");
    std::vector<std::string> shown;
    OutputFile::Policy policy;
    policy.replace = true;
    policy.numbered = true;
    policy.mayReplace = [&](const fs::path& file) {
        shown.push_back(contents(file));
        return shown.back().starts_with("ours");
    };
    EXPECT_EQ(writeAndPublish(camera, "new", policy), dir.path() / "IMG_0004_1.jpg");
    EXPECT_EQ(writeAndPublish(ours, "ours again", policy), ours);
    EXPECT_EQ(writeAndPublish(dir.path() / "link.jpg", "new", policy), dir.path() / "link_1.jpg");
    EXPECT_EQ(shown, (std::vector<std::string>{"camera", "ours"}));
    EXPECT_EQ(contents(camera), "camera");
    EXPECT_EQ(contents(ours), "ours again");
    EXPECT_TRUE(fs::is_symlink(dir.path() / "link.jpg"));
    policy.numbered = false;
    platform::Error error;
    EXPECT_FALSE(writeAndPublish(camera, "new", policy, &error));
    EXPECT_EQ(error.code, EEXIST);
    EXPECT_EQ(contents(camera), "camera");
    EXPECT_EQ(entries(dir.path()), 5u);
}

// A listing is made again when someone else changed the folder since: a
// case variant another program made meanwhile is seen; this writer's own
// files change nothing.
TEST(OutputFile, ListedNamesAreReadAgainWhenTheFolderChanged) {
    testsupport::ScratchDir dir;
    auto names = platform::CaselessNames::ofFolder(dir.path());
    OutputFile::Policy policy;
    policy.numbered = true;
    policy.folderNames = &names;
    EXPECT_EQ(writeAndPublish(dir.path() / "a.jpg", "a", policy), dir.path() / "a.jpg");
    // A name only this set holds survives this writer's own changes.
    names.add("b.jpg");
    EXPECT_EQ(writeAndPublish(dir.path() / "B.JPG", "b", policy), dir.path() / "B_1.JPG");
    // The folder's time moves in ticks of the kernel's clock.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    put(dir.path() / "img_0001.jpg", "another program's");
    EXPECT_EQ(writeAndPublish(dir.path() / "IMG_0001.jpg", "new", policy),
              dir.path() / "IMG_0001_1.jpg");
    EXPECT_FALSE(names.holds("b.jpg"));
    EXPECT_EQ(names.otherNameLike("IMG_0001.jpg"), "img_0001.jpg");
    EXPECT_TRUE(names.hasExactly("IMG_0001_1.jpg"));

    // A killed writer's partial file made after the listing is still swept
    // by a writer given that listing.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const auto killed = dir.path() / ".c.jpg.partial-1-3";
    put(killed, "partial");
    auto file = OutputFile::create(dir.path() / "c.jpg", nullptr, &names);
    ASSERT_TRUE(file);
    EXPECT_FALSE(fs::exists(killed));
}

// A writer of one file lists only the names that may match its own: every
// case and normalisation of them, and whether any name is hidden.
TEST(OutputFile, AOneFileListingKeepsEveryNameThatMayMatch) {
    testsupport::ScratchDir dir;
    for (const char* name :
         {"IMG_0001.JPG", "img_0001_3.jpg", "\xE2\x84\xAA.JPG", "other.jpg", "IMG_000.jpg"})
        put(dir.path() / name, "x");
    auto names = platform::CaselessNames::ofFolderFor(dir.path(), "IMG_0001");
    EXPECT_EQ(names.nameLike("img_0001.jpg"), "IMG_0001.JPG");
    EXPECT_TRUE(names.holds("IMG_0001_3.JPG"));
    EXPECT_FALSE(names.holds("other.jpg"));
    EXPECT_FALSE(names.sawHiddenNames());
    EXPECT_TRUE(platform::CaselessNames::ofFolderFor(dir.path(), "k").holds("k.jpg"));
    OutputFile::Policy policy;
    policy.numbered = true;
    policy.folderNames = &names;
    EXPECT_EQ(OutputFile::firstFreeName(dir.path() / "IMG_0001.jpg", true, &names),
              dir.path() / "IMG_0001_1.jpg");
    EXPECT_EQ(writeAndPublish(dir.path() / "IMG_0001.jpg", "new", policy),
              dir.path() / "IMG_0001_1.jpg");
    put(dir.path() / ".hidden", "x");
    EXPECT_TRUE(platform::CaselessNames::ofFolderFor(dir.path(), "IMG").sawHiddenNames());
}

TEST(OutputFile, WriterPathReopensTheFileItself) {
    testsupport::ScratchDir dir;
    auto file = OutputFile::create(dir.path() / "w.tif", nullptr);
    ASSERT_TRUE(file);
    const auto temporary = file->temporaryPath();
    fs::rename(temporary, dir.path() / "moved");
    std::FILE* f = std::fopen(file->writerPath().c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("tiff", f);
    std::fclose(f);
    EXPECT_EQ(contents(dir.path() / "moved"), "tiff");
    fs::rename(dir.path() / "moved", temporary);
    EXPECT_EQ(file->publish({}, nullptr), dir.path() / "w.tif");
    EXPECT_EQ(contents(dir.path() / "w.tif"), "tiff");
}

TEST(OutputFile, ProtectedFilesAreNeverReplacedWhateverTheirName) {
    testsupport::ScratchDir dir;
    const auto raw = dir.path() / "shot.jpg";
    put(raw, "edited");
    fs::create_hard_link(raw, dir.path() / "link.jpg");
    OutputFile::Policy policy;
    policy.replace = true;
    policy.protect = {raw};
    platform::Error error;
    EXPECT_FALSE(writeAndPublish(raw, "x", policy, &error));
    EXPECT_FALSE(writeAndPublish(dir.path() / "link.jpg", "x", policy, &error));
    EXPECT_NE(error.failureReason.find("must not replace"), std::string::npos);
    EXPECT_EQ(contents(raw), "edited");
    EXPECT_EQ(entries(dir.path()), 2u);
    // Numbered without replacing simply moves on.
    policy.replace = false;
    policy.numbered = true;
    EXPECT_EQ(writeAndPublish(raw, "x", policy), dir.path() / "shot_1.jpg");
}

TEST(OutputFile, ModeFollowsTheUmaskAndLinksAreNotFollowed) {
    testsupport::ScratchDir dir;
    const auto victim = dir.path() / "victim";
    put(victim, "keep");
    const auto out = dir.path() / "o.jpg";
    for (unsigned n = 0; n < 256; ++n)
        fs::create_symlink(victim, dir.path() / OutputFile::temporaryNameFor("o.jpg", n));
    const mode_t saved = ::umask(027);
    auto published = writeAndPublish(out, "data", {});
    ::umask(saved);
    ASSERT_TRUE(published);
    EXPECT_EQ(contents(victim), "keep");
    EXPECT_EQ(contents(out), "data");
    struct stat st;
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    ASSERT_TRUE(writeAndPublish(dir.path() / "p.jpg", "data", {}));
    ASSERT_EQ(::stat((dir.path() / "p.jpg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~saved);
}

// Holds a lock on a file in a child process, as a writer in another
// process-id namespace or on another machine would, until release().
class LockHolder {
public:
    explicit LockHolder(const fs::path& file) {
        int ready[2], done[2];
        if (::pipe(ready) != 0 || ::pipe(done) != 0) return;
        child_ = ::fork();
        if (child_ == 0) {
            ::close(done[1]);
            const int fd = ::open(file.c_str(), O_RDWR);
            const char ok = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
            (void)!::write(ready[1], &ok, 1);
            char c;
            (void)!::read(done[0], &c, 1);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(done[0]);
        char ok = 'n';
        held_ = ::read(ready[0], &ok, 1) == 1 && ok == 'y';
        ::close(ready[0]);
        release_ = done[1];
    }
    ~LockHolder() { release(); }
    bool held() const { return held_; }
    void release() {
        if (release_ < 0) return;
        ::close(release_);
        release_ = -1;
        ::waitpid(child_, nullptr, 0);
    }

private:
    pid_t child_ = -1;
    int release_ = -1;
    bool held_ = false;
};

TEST(OutputFile, PartialFilesAreRemovedOnlyWhenNoWriterHoldsThem) {
    testsupport::ScratchDir dir;
    const pid_t dead = deadProcessId();
    // A writer elsewhere whose process id means nothing here (even a dead one's).
    const std::string elsewhere = ".w.jpg.partial-" + std::to_string(dead) + "-7";
    const std::string stale = ".x.jpg.partial-" + std::to_string(dead) + "-3";
    // Killed writers whose ids are alive here: no lock, so gone at once.
    const std::string killed = ".x.jpg.partial-1-3";
    const std::string mine = OutputFile::temporaryNameFor("y.jpg", 999999);
    for (const auto& name : {elsewhere, stale, killed, mine, std::string(".x.jpg.partial-x-3")})
        put(dir.path() / name, "partial");
    fs::create_directory(dir.path() / (".d.partial-" + std::to_string(dead) + "-1"));
    LockHolder writer(dir.path() / elsewhere);
    ASSERT_TRUE(writer.held());

    // Unfinished and abandoned: the object's own file goes when it dies; a
    // live object's file stays while another one cleans.
    auto live = OutputFile::create(dir.path() / "v.jpg", nullptr);
    ASSERT_TRUE(live);
    {
        auto abandoned = OutputFile::create(dir.path() / "z.jpg", nullptr);
        ASSERT_TRUE(abandoned);
        EXPECT_TRUE(fs::exists(abandoned->temporaryPath()));
    }
    EXPECT_TRUE(fs::exists(dir.path() / elsewhere));
    EXPECT_TRUE(fs::exists(live->temporaryPath()));
    EXPECT_FALSE(fs::exists(dir.path() / stale));
    EXPECT_FALSE(fs::exists(dir.path() / killed));
    EXPECT_FALSE(fs::exists(dir.path() / mine));
    EXPECT_TRUE(fs::exists(dir.path() / ".x.jpg.partial-x-3"));
    EXPECT_EQ(entries(dir.path()), 4u);

    // The live object publishes although others cleaned the folder meanwhile.
    OutputFile::Policy policy;
    std::fputs("done", live->stream());
    EXPECT_TRUE(live->publish(policy, nullptr));
    EXPECT_EQ(contents(dir.path() / "v.jpg"), "done");

    // Once its writer is gone, the file goes however young it is.
    writer.release();
    EXPECT_TRUE(OutputFile::create(dir.path() / "u.jpg", nullptr));
    EXPECT_FALSE(fs::exists(dir.path() / elsewhere));
}

TEST(OutputFile, FailuresCarryTheSystemsReason) {
    testsupport::ScratchDir dir;
    platform::Error error;
    EXPECT_FALSE(OutputFile::create(dir.path() / "missing" / "a.jpg", &error));
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_NE(error.failureReason.find(std::strerror(ENOENT)), std::string::npos);
    fs::create_directories(dir.path() / "busy" / "inside");
    OutputFile::Policy replace;
    replace.replace = true;
    EXPECT_FALSE(writeAndPublish(dir.path() / "busy", "x", replace, &error));
    EXPECT_EQ(error.code, EISDIR);
    EXPECT_NE(error.failureReason.find(std::strerror(EISDIR)), std::string::npos);
    EXPECT_EQ(entries(dir.path()), 1u);
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

void concurrentWritersGetOneFileEach(const fs::path& dir) {
    OutputFile::Policy policy;
    policy.numbered = true;
    std::vector<std::thread> threads;
    std::vector<std::optional<fs::path>> results(8);
    for (size_t i = 0; i < results.size(); ++i)
        threads.emplace_back(
            [&, i] { results[i] = writeAndPublish(dir / "a.jpg", std::to_string(i), policy); });
    for (auto& t : threads) t.join();
    std::set<fs::path> names;
    for (size_t i = 0; i < results.size(); ++i) {
        ASSERT_TRUE(results[i]);
        names.insert(*results[i]);
        EXPECT_EQ(contents(*results[i]), std::to_string(i));
    }
    EXPECT_EQ(names.size(), results.size());
    EXPECT_EQ(entries(dir), results.size());
}

// Writers racing for one name each get a different one, with or without a
// no-replace rename.
TEST(OutputFileFallback, ConcurrentWritersOfOneNameGetOneFileEach) {
    for (const int renameError : {0, EINVAL}) {
        testsupport::ScratchDir dir;
        Unsupported mount(renameError, renameError ? EPERM : 0);
        concurrentWritersGetOneFileEach(dir.path());
    }
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
