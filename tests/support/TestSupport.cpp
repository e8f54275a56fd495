#include "support/TestSupport.h"

#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

namespace testsupport {

std::filesystem::path testdataDir() {
    if (const char* env = std::getenv("QUORVEX_TESTDATA"))
        return env;
    return std::filesystem::current_path() / ".." / "shared" / "testdata";
}

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvex-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create scratch folder");
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
    std::filesystem::create_directories(path_ / "tmp");
    setenv("TMPDIR", (path_ / "tmp").c_str(), 1);
}

}  // namespace testsupport
