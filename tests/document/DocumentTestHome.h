// A private home for one test: HOME, XDG_* and TMPDIR point into a scratch
// folder while it lives and are put back afterwards, so later tests (and
// their scratch folders) see the environment they started with.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "engine/DataStoreItem.h"
#include "platform/UserDefaults.h"
#include "support/TestSupport.h"

class DocumentTestHome {
public:
    DocumentTestHome() {
        scratch_.emplace();
        scratch_->becomeHome();
        platform::UserDefaults::resetStandardForEnvironment();
        DataStoreItem::forgetCatalogDirectory();
    }
    ~DocumentTestHome() {
        scratch_.reset();
        saved_.restore();
        platform::UserDefaults::resetStandardForEnvironment();
        DataStoreItem::forgetCatalogDirectory();
    }
    const std::filesystem::path& path() const { return scratch_->path(); }

private:
    struct Saved {
        static constexpr const char* kNames[] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                                 "TMPDIR"};
        std::optional<std::string> values[4];
        Saved() {
            for (int i = 0; i < 4; ++i)
                if (const char* v = std::getenv(kNames[i])) values[i] = v;
        }
        void restore() const {
            for (int i = 0; i < 4; ++i) {
                if (values[i])
                    setenv(kNames[i], values[i]->c_str(), 1);
                else
                    unsetenv(kNames[i]);
            }
        }
    };
    Saved saved_;  // made before the scratch folder, restored after it is gone
    std::optional<testsupport::ScratchDir> scratch_;
};
