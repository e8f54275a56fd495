// A private home for one test: HOME, XDG_* and TMPDIR point into a scratch
// folder while the object lives and are restored afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace colortest {

class SavedEnvironment {
public:
    SavedEnvironment() {
        for (const char* name : kNames) {
            const char* v = std::getenv(name);
            saved_.emplace_back(v ? std::optional<std::string>(v) : std::nullopt);
        }
    }
    ~SavedEnvironment() {
        for (size_t i = 0; i < saved_.size(); ++i) {
            if (saved_[i])
                setenv(kNames[i], saved_[i]->c_str(), 1);
            else
                unsetenv(kNames[i]);
        }
    }

private:
    static constexpr const char* kNames[] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "TMPDIR"};
    std::vector<std::optional<std::string>> saved_;
};

class TestHome {
public:
    TestHome() { scratch_.becomeHome(); }
    const std::filesystem::path& path() const { return scratch_.path(); }
    std::filesystem::path profiles() const {
        return scratch_.path() / "data" / "Quorvex" / "Profiles";
    }

private:
    SavedEnvironment environment_;  // restored after the scratch folder is gone
    testsupport::ScratchDir scratch_;
};

inline std::filesystem::path dcpDir() { return testsupport::testdataDir() / "dcp" / "set-a"; }

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace colortest
