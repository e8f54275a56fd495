// The home fixture for document tests: the user defaults and the catalog
// look for their folders again when it starts and ends.
#pragma once

#include "engine/DataStoreItem.h"
#include "platform/UserDefaults.h"
#include "support/TestSupport.h"

class DocumentTestHome : public testsupport::ScopedHome {
public:
    DocumentTestHome()
        : ScopedHome([] {
              platform::UserDefaults::resetStandardForEnvironment();
              DataStoreItem::forgetCatalogDirectory();
          }) {}
};
