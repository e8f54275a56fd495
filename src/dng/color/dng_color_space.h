// Output colour spaces of the DNG rendering path: matrices between linear RGB
// (or grey) and the profile connection space (XYZ, D50 white), an encoding
// curve and an embedded ICC profile. The built-in spaces and the encoding
// curves are process-wide singletons made on first request (thread-safe) and
// immutable afterwards, so every const method is safe from several threads.
#pragma once

#include "dng/color/dng_1d_function.h"
#include "dng/core/dng_matrix.h"

// Encoding curves: Evaluate encodes linear data, EvaluateInverse decodes.
class dng_function_GammaEncode_sRGB : public dng_1d_function {
public:
    real64 Evaluate(real64 x) const override;
    real64 EvaluateInverse(real64 y) const override;
    static const dng_1d_function& Get();
};

class dng_function_GammaEncode_1_8 : public dng_1d_function {
public:
    real64 Evaluate(real64 x) const override;
    real64 EvaluateInverse(real64 y) const override;
    static const dng_1d_function& Get();
};

class dng_function_GammaEncode_2_2 : public dng_1d_function {
public:
    real64 Evaluate(real64 x) const override;
    real64 EvaluateInverse(real64 y) const override;
    static const dng_1d_function& Get();
};

class dng_color_space {
public:
    virtual ~dng_color_space();

    dng_color_space(const dng_color_space&) = delete;
    dng_color_space& operator=(const dng_color_space&) = delete;

    const dng_matrix& MatrixToPCS() const { return fMatrixToPCS; }
    const dng_matrix& MatrixFromPCS() const { return fMatrixFromPCS; }

    bool IsMonochrome() const { return fMatrixToPCS.Cols() == 1; }

    virtual const dng_1d_function& GammaFunction() const;

    // The embedded ICC bytes; false (size 0, no data) when the space has none.
    virtual bool ICCProfile(uint32& size, const uint8*& data) const;

protected:
    dng_color_space();

    // M: RGB to XYZ (D50); rows are scaled so that RGB white maps exactly to
    // the PCS white.
    void SetMatrixToPCS(const dng_matrix_3by3& M);

    void SetMonochrome();

private:
    dng_matrix fMatrixToPCS;
    dng_matrix fMatrixFromPCS;
};

class dng_space_sRGB : public dng_color_space {
public:
    const dng_1d_function& GammaFunction() const override;
    bool ICCProfile(uint32& size, const uint8*& data) const override;
    static const dng_color_space& Get();

protected:
    dng_space_sRGB();
};

class dng_space_StudioRGB : public dng_color_space {
public:
    const dng_1d_function& GammaFunction() const override;
    bool ICCProfile(uint32& size, const uint8*& data) const override;
    static const dng_color_space& Get();

protected:
    dng_space_StudioRGB();
};

class dng_space_ColorMatch : public dng_color_space {
public:
    const dng_1d_function& GammaFunction() const override;
    bool ICCProfile(uint32& size, const uint8*& data) const override;
    static const dng_color_space& Get();

protected:
    dng_space_ColorMatch();
};

class dng_space_ProPhoto : public dng_color_space {
public:
    const dng_1d_function& GammaFunction() const override;
    bool ICCProfile(uint32& size, const uint8*& data) const override;
    static const dng_color_space& Get();

protected:
    dng_space_ProPhoto();
};

class dng_space_GrayGamma18 : public dng_color_space {
public:
    const dng_1d_function& GammaFunction() const override;
    bool ICCProfile(uint32& size, const uint8*& data) const override;
    static const dng_color_space& Get();

protected:
    dng_space_GrayGamma18();
};

class dng_space_GrayGamma22 : public dng_color_space {
public:
    const dng_1d_function& GammaFunction() const override;
    bool ICCProfile(uint32& size, const uint8*& data) const override;
    static const dng_color_space& Get();

protected:
    dng_space_GrayGamma22();
};

// Studio RGB (1998) primaries, linear, without a profile.
class dng_space_fakeRGB : public dng_color_space {
public:
    static const dng_color_space& Get();

protected:
    dng_space_fakeRGB();
};
