// A file written beside its final name and put in place only once complete,
// so a failed or killed export never leaves a half-written file under that
// name and never writes through a link someone planted.
//
// create() opens a new hidden file in the destination's folder with
// O_CREAT|O_EXCL|O_NOFOLLOW, mode 0644 less the umask, named
// ".<stem>.partial-<pid>-<n>" within the 255-byte name limit (a long stem is
// shortened), and holds an exclusive advisory lock on it until it is
// published or discarded. It first removes the partial files in that folder
// that no writer holds, whichever process, namespace or machine made them
// (where the file system keeps no locks: only those of dead processes, over
// an hour old). The writer writes through fd(), stream() or writerPath();
// publish() flushes and syncs the file, moves it to its name and syncs the
// folder. A name is taken when the folder lists it, or a name matching it
// ignoring letter case and normalisation (CaselessNames: "a.jpg" beside
// "A.JPG", one name on a card), or when the no-replace rename finds it
// taken (also on FUSE mounts without that rename or hard links: the name is
// claimed by creating it exclusively, then renamed over). With `replace`, a
// name the folder lists exactly is replaced when its file is a regular file,
// not in `protect` or `passOver` (compared by device and inode) and allowed
// by `mayReplace`; the rename goes over the very file checked. A case
// variant is never replaced. A taken name moves on to "<stem>_1<ext>" ...
// "<stem>_99999<ext>" when `numbered` (a case variant also with `replace`),
// else publishing fails. Names a caller listed are listed again when the
// folder changed since by anyone but this writer (a card's times are coarse:
// a change within the same tick shows only at the name itself). An object
// not published removes its file.
//
// Errors are in PosixErrorDomain with the system's reason. One object per
// writer and thread; different objects may be used from different threads
// (names are unique per process and per process id).
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/CaselessNames.h"
#include "platform/Error.h"

namespace platform {

class OutputFile {
public:
    static constexpr int kMaxNumberedName = 99999;
    static constexpr size_t kMaxNameBytes = 255;

    struct Policy {
        bool replace = false;
        bool numbered = false;
        std::vector<std::filesystem::path> protect;
        // Files never replaced even with `replace` (a run's own earlier
        // outputs): a name one of them holds is taken.
        std::vector<std::filesystem::path> passOver;
        // The destination folder's names, listed once by a caller that
        // writes many files there (the name published is added); without,
        // publish() lists the folder. Names others add later are then
        // caught only when exact.
        CaselessNames* folderNames = nullptr;
        // With `replace`: whether the regular file at the exact name may be
        // replaced (an earlier export of ours), asked with a path that reads
        // that very file. Unset: any such file not kept by the rules above.
        std::function<bool(const std::filesystem::path&)> mayReplace;
    };

    // `listed`: the destination folder's names, when the caller has them;
    // a listing that saw no hidden name in a folder unchanged since spares
    // reading a large folder again for partial files.
    static std::unique_ptr<OutputFile> create(const std::filesystem::path& destination,
                                              Error* error, const CaselessNames* listed = nullptr);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    int fd() const { return fd_; }
    // A stdio stream on the file, owned by this object (null when it cannot
    // be made).
    std::FILE* stream();
    const std::filesystem::path& temporaryPath() const { return temporaryPath_; }
    // For writers that open a path themselves: "/proc/self/fd/<fd>", which
    // reopens this very file (never whatever is at the temporary name now).
    // Use either this or stream(), not both.
    std::string writerPath() const;

    // The path the file now has, or nullopt with the error (the temporary
    // file is then gone). Call once.
    std::optional<std::filesystem::path> publish(const Policy& policy, Error* error);

    // The name a destination takes at a numbering step: the name itself at 0,
    // "<stem>_<i><ext>" from 1 to kMaxNumberedName.
    static std::filesystem::path numberedName(const std::filesystem::path& destination, int i);
    // The name publish() would choose now without `replace`: the first free
    // one of the numbered names (only the name itself unless `numbered`), or
    // nullopt when all are taken. Anything at a name, a dangling link too,
    // takes it, and so does a name matching it ignoring case (`names`, the
    // folder's, listed here when null). Another writer may take it before
    // publish(), which then moves on.
    static std::optional<std::filesystem::path> firstFreeName(
        const std::filesystem::path& destination, bool numbered,
        const CaselessNames* names = nullptr);

    // The temporary name for a destination name and an attempt number
    // (exposed for tests).
    static std::string temporaryNameFor(const std::string& destinationName, unsigned attempt);
    // Removes the partial files no writer holds from a folder.
    static void removeStalePartials(int folderFd);

private:
    OutputFile() = default;
    bool closeFile(Error* error);
    void discard();
    void releaseLock();

    int folderFd_ = -1;
    int fd_ = -1;
    // A second descriptor of the file: its lock outlives closing fd_.
    int lockFd_ = -1;
    std::FILE* stream_ = nullptr;
    std::filesystem::path destination_;
    std::filesystem::path temporaryPath_;
    std::string temporaryName_;
    // The folder's time just before and after the partial file was made:
    // a change of our own, not another program's.
    std::optional<timespec> createdFrom_, createdTo_;
    bool done_ = false;
};

}  // namespace platform
