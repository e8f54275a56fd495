// Matrices of up to 4 × 4 doubles, row-major (an empty matrix is 0 × 0), with
// products, sums, transposition and inversion. Plain values; shape errors are
// dng_error_matrix_math.
#pragma once

#include "dng/core/dng_types.h"
#include "dng/core/dng_vector.h"

class dng_matrix {
public:
    static constexpr uint32 kMaxColorPlanes = 4;

    dng_matrix() = default;
    // A zero matrix; each dimension 1..4, else dng_error_unknown.
    dng_matrix(uint32 rows, uint32 cols);

    uint32 Rows() const { return fRows; }
    uint32 Cols() const { return fCols; }
    bool IsEmpty() const { return fRows == 0 || fCols == 0; }
    bool NotEmpty() const { return !IsEmpty(); }

    real64* operator[](uint32 row) { return fData[row]; }
    const real64* operator[](uint32 row) const { return fData[row]; }

    bool operator==(const dng_matrix& o) const;
    bool operator!=(const dng_matrix& o) const { return !(*this == o); }

    // Makes the matrix empty.
    void Clear();
    // The count × count identity (1..4).
    void SetIdentity(uint32 count);

    bool IsDiagonal() const;
    bool IsIdentity() const;
    real64 MaxEntry() const;
    real64 MinEntry() const;

    void Scale(real64 factor);
    // Rounds every entry to the nearest multiple of 1 / factor.
    void Round(real64 factor);

protected:
    uint32 fRows = 0;
    uint32 fCols = 0;
    real64 fData[kMaxColorPlanes][kMaxColorPlanes] = {};
};

class dng_matrix_3by3 : public dng_matrix {
public:
    dng_matrix_3by3();
    dng_matrix_3by3(real64 a00, real64 a01, real64 a02, real64 a10, real64 a11, real64 a12,
                    real64 a20, real64 a21, real64 a22);
    // A diagonal matrix.
    dng_matrix_3by3(real64 a00, real64 a11, real64 a22);
    // The matrix must be 3 × 3, else dng_error_matrix_math.
    explicit dng_matrix_3by3(const dng_matrix& m);
};

class dng_matrix_4by4 : public dng_matrix {
public:
    dng_matrix_4by4();
    dng_matrix_4by4(real64 a00, real64 a01, real64 a02, real64 a03, real64 a10, real64 a11,
                    real64 a12, real64 a13, real64 a20, real64 a21, real64 a22, real64 a23,
                    real64 a30, real64 a31, real64 a32, real64 a33);
    // From a 4 × 4 matrix, or a 3 × 3 one placed top-left with 1 in the corner;
    // any other shape gives dng_error_matrix_math.
    explicit dng_matrix_4by4(const dng_matrix& m);
};

dng_matrix operator*(const dng_matrix& a, const dng_matrix& b);
dng_vector operator*(const dng_matrix& a, const dng_vector& v);
dng_matrix operator*(real64 scale, const dng_matrix& m);
dng_vector operator*(real64 scale, const dng_vector& v);
dng_matrix operator+(const dng_matrix& a, const dng_matrix& b);
dng_vector operator+(const dng_vector& a, const dng_vector& b);

dng_matrix Transpose(const dng_matrix& m);

// Inverse of a square matrix by elimination with partial pivoting (a pivot
// below 1e-10 in magnitude gives dng_error_matrix_math); for a non-square
// matrix A the pseudo-inverse (Aᵀ A)⁻¹ Aᵀ. An empty matrix gives
// dng_error_matrix_math.
dng_matrix Invert(const dng_matrix& m);
// With a non-empty hint H of the transposed shape, (H × M)⁻¹ × H; otherwise
// plain Invert.
dng_matrix Invert(const dng_matrix& m, const dng_matrix& hint);
