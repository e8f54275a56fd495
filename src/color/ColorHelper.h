// White points for the application: correlated colour temperature and tint
// from a white's chromaticity and back (Robertson's isotemperature lines in
// CIE 1960 uv), XYZ <-> xy, the standard illuminants, the sRGB and ProPhoto
// RGB-to-XYZ matrices and Bradford white-adaptation matrices; plus the 3×3
// float matrix helpers the colour-matrix computation shares.
//
// Matrices are float[3][3], row-major ([row][column]); vectors float[3];
// chromaticities float[2] (x, y). Temperature is in kelvin; tint is −3000
// times the distance from the isotemperature line in uv.
//
// A ColorHelper is a small value owned by its user; the class operations and
// the matrix functions keep no state and are safe from any thread.
#pragma once

class ColorHelper {
public:
    ColorHelper() = default;

    static void XYZFromsRGB_D65(float matrix[3][3]);
    static void XYZFromProPhoto(float matrix[3][3]);

    static void StdA_xy_coord(float xy[2]);
    static void D50_xy_coord(float xy[2]);
    static void D55_xy_coord(float xy[2]);
    static void D65_xy_coord(float xy[2]);
    static void D75_xy_coord(float xy[2]);

    // (X, Y) ÷ (X + Y + Z); the D50 white when the sum is not positive.
    static void XYZtoXY(const float XYZ[3], float xy[2]);
    // Y = 1; x and y are clamped to 1e-6 .. 0.999999 and scaled down when
    // their sum exceeds 0.999999.
    static void XYtoXYZ(const float xy[2], float xyz[3]);
    static void ProPhotoRGBtoXYZ(float r, float g, float b, float XYZ[3]);
    // Bradford adaptation from white1 to white2; cone ratios are kept within 0.1 .. 10.
    static void MapWhiteMatrix(const float white1[2], const float toWhite[2],
                               float whiteMatrix[3][3]);
    // Three lines "%0.4f %0.4f %0.4f" and an empty line to the log.
    static void dumpMatrix(const float matrix[3][3]);

    // Temperature and tint of a white, clamped to 1000 .. 14000 K and −150 .. 150.
    void setFromxyCoord(float x, float y);
    void setFromXYZCoord(const float XYZ[3]);
    void setFromProPhotoRGB(float r, float g, float b);
    // The white of the current temperature and tint (temperature must be
    // positive for a meaningful answer).
    void getxyCoord(float* x, float* y) const;
    // getxyCoord with Y = 1.
    void getXYZCoord(float XYZ[3]) const;

    // Plain accessors; the setters do not clamp.
    float fTemperature() const { return temperature_; }
    void setFTemperature(float temperature) { temperature_ = temperature; }
    float fTint() const { return tint_; }
    void setFTint(float tint) { tint_ = tint; }

private:
    float tint_ = 0;
    float temperature_ = 0;
};

// P = A × B (P may alias neither input).
void Matrix3x3Multiply(const float A[3][3], const float B[3][3], float P[3][3]);
// r = M × v.
void Matrix3x3MultiplyVector(const float M[3][3], const float v[3], float r[3]);
// R = M⁻¹ by adjugate and determinant, returning 1; when |det M| < 1e-10,
// R becomes a copy of M and the result is 0.
int Matrix3x3Invert(const float M[3][3], float R[3][3]);
