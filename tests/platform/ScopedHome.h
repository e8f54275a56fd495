// A scratch folder that serves as HOME, XDG_* and TMPDIR for one test and
// puts the previous environment back afterwards, so later tests (and the
// scratch folders they make) never point into a deleted folder.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/TestSupport.h"

namespace testsupport {

class ScopedHome {
public:
    ScopedHome() {
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "TMPDIR"}) {
            const char* v = std::getenv(name);
            saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
        }
        scratch_.emplace();
        scratch_->becomeHome();
    }
    ~ScopedHome() {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        scratch_.reset();
    }
    const std::filesystem::path& path() const { return scratch_->path(); }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
    std::optional<ScratchDir> scratch_;
};

}  // namespace testsupport
