// Property-list reading on arbitrary bytes: must never crash, hang or
// allocate without bound; anything it accepts must survive a round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "FuzzSupport.h"
#include "platform/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::quietLog();
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto value = platform::parsePropertyList(text);
    if (!value) return 0;
    auto again = platform::parsePropertyList(platform::serializePropertyList(*value));
    // NaN reals never compare equal, so only the presence of a result is checked then.
    if (!again) std::abort();
    return 0;
}
