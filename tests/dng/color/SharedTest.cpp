#include <gtest/gtest.h>

#include <vector>

#include "dng/color/dng_shared.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/core/dng_tag_types.h"

namespace {

// Little-endian value bytes for one tag.
struct Value {
    std::vector<uint8> bytes;
    Value& U32(uint32 v) {
        for (int i = 0; i < 4; i++) bytes.push_back(static_cast<uint8>(v >> (8 * i)));
        return *this;
    }
    Value& Rational(int32 n, int32 d) {
        return U32(static_cast<uint32>(n)).U32(static_cast<uint32>(d));
    }
    Value& Bytes(std::vector<uint8> b) {
        bytes.insert(bytes.end(), b.begin(), b.end());
        return *this;
    }
};

bool Feed(dng_shared& shared, uint32 parent, uint32 tag, uint32 type, uint32 count,
          const Value& value) {
    dng_stream stream(value.bytes.data(), static_cast<uint32>(value.bytes.size()));
    return shared.ParseTag(stream, parent, tag, type, count, 0);
}

Value Matrix(const std::vector<double>& m) {
    Value v;
    for (double x : m) v.Rational(static_cast<int32>(x * 10000), 10000);
    return v;
}

void FeedColour(dng_shared& s) {
    ASSERT_TRUE(Feed(s, 0, tcColorMatrix1, ttSRational, 9,
                     Matrix({0.7, -0.1, -0.1, -0.4, 1.2, 0.2, -0.1, 0.2, 0.6})));
    ASSERT_TRUE(Feed(s, 0, tcCalibrationIlluminant1, ttShort, 1, Value().U32(21)));
}

}  // namespace

TEST(Shared, DispatchesMainExifAndProfileTags) {
    dng_shared s;
    EXPECT_TRUE(Feed(s, 0, tcDNGVersion, ttByte, 4, Value().Bytes({1, 4, 0, 0})));
    EXPECT_EQ(s.fDNGVersion, 0x01040000u);
    FeedColour(s);
    EXPECT_EQ(s.fCameraProfile.fColorPlanes, 3u);
    EXPECT_EQ(s.fCameraProfile.fCalibrationIlluminant1, 21u);

    EXPECT_TRUE(Feed(s, 0, tcAsShotNeutral, ttRational, 3,
                     Value().Rational(1, 2).Rational(1, 1).Rational(2, 3)));
    EXPECT_DOUBLE_EQ(s.fAsShotNeutral[0], 0.5);
    // Wrong count for three planes: not taken.
    EXPECT_FALSE(Feed(s, 0, tcAnalogBalance, ttRational, 2, Value().Rational(1, 1).Rational(1, 1)));
    EXPECT_TRUE(Feed(s, 0, tcExifIFD, ttLong, 1, Value().U32(1234)));
    EXPECT_EQ(s.fExifIFD, 1234u);

    // The maker note is an EXIF tag; other parents are refused.
    Value note;
    note.Bytes(std::vector<uint8>(20, 7));
    EXPECT_TRUE(Feed(s, tcExifIFD, tcMakerNote, ttUndefined, 20, note));
    EXPECT_EQ(s.fMakerNoteCount, 20u);
    EXPECT_FALSE(Feed(s, tcGPSInfo, tcMakerNote, ttUndefined, 20, note));
    EXPECT_FALSE(Feed(s, 0, tcImageWidth, ttLong, 1, Value().U32(10)));

    // A block larger than what remains is an error, not a promise.
    EXPECT_THROW(Feed(s, 0, tcOriginalRawFileData, ttUndefined, 1000000, note), dng_exception);
}

TEST(Shared, PostParseAndValidity) {
    dng_shared s;
    EXPECT_FALSE(s.IsValidDNG());  // no version at all

    Feed(s, 0, tcDNGVersion, ttByte, 4, Value().Bytes({0, 9, 0, 0}));
    Feed(s, 0, tcDNGBackwardVersion, ttByte, 4, Value().Bytes({1, 3, 0, 0}));
    FeedColour(s);
    s.PostParse();
    EXPECT_EQ(s.fDNGVersion, 0x01000000u);
    EXPECT_EQ(s.fDNGBackwardVersion, 0x01000000u);
    EXPECT_STREQ(s.fUniqueCameraModel.Get(), "Digital Negative");
    EXPECT_TRUE(s.IsValidDNG());

    Feed(s, 0, tcDNGBackwardVersion, ttByte, 4, Value().Bytes({1, 5, 0, 1}));
    try {
        s.IsValidDNG();
        ADD_FAILURE() << "a too new backward version must be refused";
    } catch (const dng_exception& e) {
        EXPECT_EQ(e.ErrorCode(), dng_error_unsupported_dng);
    }

    dng_shared singular;
    Feed(singular, 0, tcDNGVersion, ttByte, 4, Value().Bytes({1, 4, 0, 0}));
    Feed(singular, 0, tcColorMatrix1, ttSRational, 9, Matrix({1, 1, 1, 1, 1, 1, 0, 0, 1}));
    singular.PostParse();
    EXPECT_FALSE(singular.IsValidDNG());

    dng_shared badBalance;
    Feed(badBalance, 0, tcDNGVersion, ttByte, 4, Value().Bytes({1, 4, 0, 0}));
    FeedColour(badBalance);
    Feed(badBalance, 0, tcAnalogBalance, ttRational, 3,
         Value().Rational(1, 1).Rational(0, 1).Rational(1, 1));
    EXPECT_FALSE(badBalance.IsValidDNG());
}
