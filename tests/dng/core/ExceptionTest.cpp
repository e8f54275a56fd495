// dng_exception keeps the thrower's text beside the code: whole when short,
// cut (and still terminated) when long, empty when there was none.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dng/core/dng_exception.h"

namespace {

std::string MessageOf(void (*thrower)()) {
    try {
        thrower();
    } catch (const dng_exception& e) {
        return e.Message();
    }
    return "(nothing thrown)";
}

TEST(DngException, KeepsWhatFailedBesideTheCode) {
    try {
        ThrowBadFormat("tile data overlaps");
    } catch (const dng_exception& e) {
        EXPECT_EQ(e.ErrorCode(), dng_error_bad_format);
        EXPECT_STREQ(e.Message(), "tile data overlaps");
        EXPECT_STREQ(e.what(), "dng_exception: file format is not valid");
    }
    EXPECT_EQ(MessageOf([] { ThrowMemoryFull(); }), "");
    EXPECT_STREQ(dng_exception(dng_error_unknown).Message(), "");

    const std::string longText(300, 'x');
    const dng_exception cut(dng_error_unknown, longText.c_str());
    EXPECT_EQ(std::strlen(cut.Message()), dng_exception::kMaxMessage);
    const dng_exception copy = cut;
    EXPECT_EQ(std::string(copy.Message()), longText.substr(0, dng_exception::kMaxMessage));
}

}  // namespace
