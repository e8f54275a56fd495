// Shared helpers for the test suites: where the real test files live and a
// private scratch folder per test that never touches the user's home.
#pragma once

#include <filesystem>
#include <string>

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
    // Points HOME, XDG_CONFIG_HOME, XDG_DATA_HOME and TMPDIR inside this folder.
    void becomeHome() const;

private:
    std::filesystem::path path_;
};

}  // namespace testsupport
