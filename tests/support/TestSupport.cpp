#include "support/TestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

std::filesystem::path testdataDir() {
    static const std::filesystem::path dir = [] {
        const char* env = std::getenv("QUORVEX_TESTDATA");
        std::filesystem::path d =
            env && *env ? std::filesystem::path(env)
                        : std::filesystem::path(QUORVEX_SOURCE_DIR) / ".." / "shared" / "testdata";
        std::error_code ec;
        if (!std::filesystem::is_directory(d, ec)) {
            // A missing folder would turn into skipped or oddly failing tests; say so once, loudly.
            std::fprintf(stderr,
                         "test data not found at %s: the tests need ../shared/testdata beside the "
                         "repository (or QUORVEX_TESTDATA)\n",
                         d.c_str());
            std::exit(2);
        }
        return d.lexically_normal();
    }();
    return dir;
}

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvex-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create scratch folder");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void ScratchDir::becomeHome() const {
    setenv("HOME", path_.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (path_ / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (path_ / "data").c_str(), 1);
    setenv("XDG_STATE_HOME", (path_ / "state").c_str(), 1);
    std::filesystem::create_directories(path_ / "tmp");
    setenv("TMPDIR", (path_ / "tmp").c_str(), 1);
}

ScopedHome::ScopedHome(std::function<void()> forget) : forget_(std::move(forget)) {
    for (const char* name :
         {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "TMPDIR"}) {
        const char* v = std::getenv(name);
        saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
    }
    scratch_.emplace();
    scratch_->becomeHome();
    if (forget_) forget_();
}

ScopedHome::~ScopedHome() {
    scratch_.reset();
    for (const auto& [name, value] : saved_) {
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
    if (forget_) forget_();
}

bool makeFifo(const std::filesystem::path& path) {
    std::filesystem::create_directories(path.parent_path());
    return ::mkfifo(path.c_str(), 0600) == 0;
}

bool finishesWithoutBlocking(const std::filesystem::path& fifo, const std::function<void()>& work,
                             double seconds) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread worker([&] {
        work();
        done.set_value();
    });
    const auto limit = std::chrono::duration<double>(seconds);
    const bool inTime = finished.wait_for(limit) == std::future_status::ready;
    // A reader stuck on the FIFO gets a writer that leaves at once: its open
    // returns and its read ends the file, so the work can finish.
    while (finished.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
        const int fd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
    }
    worker.join();
    return inTime;
}

AddressSpaceLimit::AddressSpaceLimit(size_t headroom) {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlimit limit{};
    if (pages <= 0 || ::getrlimit(RLIMIT_AS, &limit) != 0) return;
    saved_ = limit.rlim_cur;
    limit.rlim_cur = rlim_t(pages) * rlim_t(::sysconf(_SC_PAGESIZE)) + headroom;
    active_ = ::setrlimit(RLIMIT_AS, &limit) == 0;
}

void AddressSpaceLimit::lift() {
    if (!active_) return;
    rlimit limit{};
    ::getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = rlim_t(saved_);
    ::setrlimit(RLIMIT_AS, &limit);
    active_ = false;
}

FileSizeLimit::FileSizeLimit(unsigned long long bytes) {
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    saved_ = limit.rlim_cur;
    limit.rlim_cur = rlim_t(bytes);
    savedSignal_ = ::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = rlim_t(saved_);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::signal(SIGXFSZ, savedSignal_);
}

unsigned long long bytesReadSoFar() {
    std::ifstream io("/proc/self/io");
    std::string name;
    unsigned long long value = 0;
    while (io >> name >> value && name != "rchar:") continue;
    return value;
}

namespace {
constexpr const char* kHelperVariable = "QUORVEX_TEST_HELPER";
constexpr char kSeparator = '\x1f';
}  // namespace

int spawnHelper(const std::vector<std::string>& arguments) {
    std::string joined;
    for (const auto& a : arguments)
        joined += (joined.empty() ? "" : std::string(1, kSeparator)) + a;
    std::vector<std::string> environment{std::string(kHelperVariable) + "=" + joined};
    for (char** e = environ; *e; ++e)
        if (!std::string(*e).starts_with(std::string(kHelperVariable) + "="))
            environment.push_back(*e);
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe", filter = "--gtest_filter=-*";
    char* argv[] = {self.data(), filter.data(), nullptr};
    pid_t pid = -1;
    return ::posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()) == 0 ? pid : -1;
}

int waitForHelper(int pid) {
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::vector<std::string> helperArguments() {
    const char* value = std::getenv(kHelperVariable);
    std::istringstream in(value ? value : "");
    std::vector<std::string> arguments;
    for (std::string a; std::getline(in, a, kSeparator);) arguments.push_back(a);
    return arguments;
}

int holdLock(const std::vector<std::string>& arguments) {
    const int fd = ::open(arguments[1].c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    const bool shared = arguments.size() > 5 && arguments[5] == "shared";
    if (fd < 0 || ::flock(fd, shared ? LOCK_SH : LOCK_EX) != 0) return 1;
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::stoi(arguments[2]));
    std::ofstream(arguments[4]) << "held";
    if (arguments[3] == "sleep") {
        std::this_thread::sleep_until(end);
        return 0;
    }
    const pid_t worker = ::fork();
    if (worker == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a killed holder lets go
        while (std::chrono::steady_clock::now() < end) continue;
        std::_Exit(0);
    }
    return worker > 0 && waitForHelper(worker) == 0 ? 0 : 1;
}

int spawnLockHolder(const std::filesystem::path& lockFile, int ms, const std::string& how,
                    const std::filesystem::path& ready, bool shared) {
    std::filesystem::remove(ready);
    const int pid = spawnHelper({"hold", lockFile.string(), std::to_string(ms), how, ready.string(),
                                 shared ? "shared" : "exclusive"});
    while (pid > 0 && !std::filesystem::exists(ready)) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pid;
}

bool LockHolder::hold(const std::string& how, bool shared, int ms) {
    letGo();
    const auto ready = std::filesystem::temp_directory_path() /
                       ("quorvex-holder-" + std::to_string(::getpid()) + ".ready");
    pid_ = spawnLockHolder(lock_, ms, how, ready, shared);
    std::filesystem::remove(ready);
    return pid_ > 0;
}

void LockHolder::letGo() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitForHelper(std::exchange(pid_, -1));
    // The process it started dies with it, a moment later.
    const int fd = ::open(lock_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ::flock(fd, LOCK_EX);
    ::close(fd);
}

std::vector<uint8_t> fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

}  // namespace testsupport
