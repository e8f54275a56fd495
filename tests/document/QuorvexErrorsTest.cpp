#include <gtest/gtest.h>

#include "document/QuorvexErrors.h"

namespace {

TEST(QuorvexErrorsTest, CodesAndTexts) {
    platform::Error e = quorvexError(kQuorvexErrorNoDecoder);
    EXPECT_EQ(e.domain, "QuorvexErrorDomain");
    EXPECT_EQ(e.code, -2);
    EXPECT_EQ(e.failureReason,
              "Quorvex could not create a decoder object - may be too little memory.");
    EXPECT_EQ(quorvexError(-4).failureReason, "directory read operation.");
    EXPECT_EQ(quorvexError(-12).failureReason, "Could not finalize output destination");
    EXPECT_EQ(quorvexError(-14).failureReason, "Must have a valid name");
    EXPECT_EQ(quorvexError(-1, "/out/a").failureReason,
              "Quorvex could not create the export file - may be a permissions problem: /out/a");
    EXPECT_EQ(quorvexError(-13, "writer text").failureReason, "writer text");
    EXPECT_EQ(quorvexError(-18).failureReason,
              "Photo CD images can be viewed in the browser but not opened for editing.");
    EXPECT_EQ(quorvexError(-16, "IMG%2_1").failureReason,
              "Could not find a raw file name from IMG%2_1. Name suffix is not valid.");
    EXPECT_FALSE(quorvexErrorText(-3));
    EXPECT_FALSE(quorvexErrorText(-8));
    EXPECT_FALSE(quorvexErrorText(-13));
    EXPECT_FALSE(quorvexErrorText(7));
}

TEST(QuorvexErrorsTest, RawNotFoundNamesBaseAndFolder) {
    EXPECT_EQ(quorvexRawFileNotFoundError("IMG_1", "/raw").failureReason,
              "Could not find the raw file corresponding to IMG_1 in search location /raw. Set the "
              "search location in Preferences to the folder containing your raw image files.");
    // No text says "(null)", even without the names it would hold.
    for (long code = -20; code <= 0; ++code) {
        EXPECT_EQ(quorvexErrorText(code).value_or("").find("(null)"), std::string::npos) << code;
        EXPECT_EQ(quorvexError(code, "x").failureReason.find("(null)"), std::string::npos) << code;
    }
}

}  // namespace
