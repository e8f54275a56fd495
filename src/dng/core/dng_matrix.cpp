#include "dng/core/dng_matrix.h"

#include <algorithm>
#include <cmath>

#include "dng/core/dng_exception.h"

namespace {

void CheckDimension(uint32 n) {
    if (n < 1 || n > dng_matrix::kMaxColorPlanes) ThrowProgramError("Bad matrix dimension");
}

real64 RoundTo(real64 x, real64 factor) { return std::floor(x * factor + 0.5) / factor; }

// Gauss-Jordan elimination with partial pivoting on a square matrix.
dng_matrix InvertSquare(const dng_matrix& m) {
    const uint32 n = m.Rows();
    real64 work[4][8] = {};
    for (uint32 i = 0; i < n; i++) {
        for (uint32 j = 0; j < n; j++) work[i][j] = m[i][j];
        work[i][n + i] = 1.0;
    }
    for (uint32 col = 0; col < n; col++) {
        uint32 pivotRow = col;
        for (uint32 row = col + 1; row < n; row++)
            if (std::fabs(work[row][col]) > std::fabs(work[pivotRow][col])) pivotRow = row;
        const real64 pivot = work[pivotRow][col];
        // The negated test also rejects NaN pivots.
        if (!(std::fabs(pivot) >= 1.0e-10)) ThrowMatrixMath("Matrix is singular");
        if (pivotRow != col)
            for (uint32 j = 0; j < 2 * n; j++) std::swap(work[pivotRow][j], work[col][j]);
        for (uint32 j = 0; j < 2 * n; j++) work[col][j] /= pivot;
        for (uint32 row = 0; row < n; row++) {
            if (row == col) continue;
            const real64 factor = work[row][col];
            if (factor == 0.0) continue;
            for (uint32 j = 0; j < 2 * n; j++) work[row][j] -= factor * work[col][j];
        }
    }
    dng_matrix result(n, n);
    for (uint32 i = 0; i < n; i++)
        for (uint32 j = 0; j < n; j++) result[i][j] = work[i][n + j];
    return result;
}

}  // namespace

// ---------------------------------------------------------------- dng_vector

dng_vector::dng_vector(uint32 count) {
    CheckDimension(count);
    fCount = count;
}

bool dng_vector::operator==(const dng_vector& o) const {
    if (fCount != o.fCount) return false;
    for (uint32 i = 0; i < fCount; i++)
        if (fData[i] != o.fData[i]) return false;
    return true;
}

void dng_vector::Clear() {
    fCount = 0;
    std::fill(fData, fData + kMaxColorPlanes, 0.0);
}

void dng_vector::SetIdentity(uint32 count) {
    *this = dng_vector(count);
    for (uint32 i = 0; i < count; i++) fData[i] = 1.0;
}

real64 dng_vector::MaxEntry() const {
    if (fCount == 0) return 0.0;
    return *std::max_element(fData, fData + fCount);
}

real64 dng_vector::MinEntry() const {
    if (fCount == 0) return 0.0;
    return *std::min_element(fData, fData + fCount);
}

void dng_vector::Scale(real64 factor) {
    for (uint32 i = 0; i < fCount; i++) fData[i] *= factor;
}

void dng_vector::Round(real64 factor) {
    for (uint32 i = 0; i < fCount; i++) fData[i] = RoundTo(fData[i], factor);
}

dng_matrix dng_vector::AsDiagonal() const {
    dng_matrix m(fCount, fCount);
    for (uint32 i = 0; i < fCount; i++) m[i][i] = fData[i];
    return m;
}

dng_matrix dng_vector::AsColumn() const {
    dng_matrix m(fCount, 1);
    for (uint32 i = 0; i < fCount; i++) m[i][0] = fData[i];
    return m;
}

dng_vector_3::dng_vector_3() : dng_vector(3) {}

dng_vector_3::dng_vector_3(real64 a0, real64 a1, real64 a2) : dng_vector(3) {
    fData[0] = a0;
    fData[1] = a1;
    fData[2] = a2;
}

dng_vector_3::dng_vector_3(const dng_vector& v) : dng_vector(v) {
    if (Count() != 3) ThrowMatrixMath("Vector is not 3 entries");
}

dng_vector_4::dng_vector_4() : dng_vector(4) {}

dng_vector_4::dng_vector_4(real64 a0, real64 a1, real64 a2, real64 a3) : dng_vector(4) {
    fData[0] = a0;
    fData[1] = a1;
    fData[2] = a2;
    fData[3] = a3;
}

dng_vector_4::dng_vector_4(const dng_vector& v) : dng_vector(v) {
    if (Count() != 4) ThrowMatrixMath("Vector is not 4 entries");
}

// ---------------------------------------------------------------- dng_matrix

dng_matrix::dng_matrix(uint32 rows, uint32 cols) {
    CheckDimension(rows);
    CheckDimension(cols);
    fRows = rows;
    fCols = cols;
}

bool dng_matrix::operator==(const dng_matrix& o) const {
    if (fRows != o.fRows || fCols != o.fCols) return false;
    for (uint32 i = 0; i < fRows; i++)
        for (uint32 j = 0; j < fCols; j++)
            if (fData[i][j] != o.fData[i][j]) return false;
    return true;
}

void dng_matrix::Clear() { *this = dng_matrix(); }

void dng_matrix::SetIdentity(uint32 count) {
    *this = dng_matrix(count, count);
    for (uint32 i = 0; i < count; i++) fData[i][i] = 1.0;
}

bool dng_matrix::IsDiagonal() const {
    if (IsEmpty() || fRows != fCols) return false;
    for (uint32 i = 0; i < fRows; i++)
        for (uint32 j = 0; j < fCols; j++)
            if (i != j && fData[i][j] != 0.0) return false;
    return true;
}

bool dng_matrix::IsIdentity() const {
    if (!IsDiagonal()) return false;
    for (uint32 i = 0; i < fRows; i++)
        if (fData[i][i] != 1.0) return false;
    return true;
}

real64 dng_matrix::MaxEntry() const {
    if (IsEmpty()) return 0.0;
    real64 m = fData[0][0];
    for (uint32 i = 0; i < fRows; i++)
        for (uint32 j = 0; j < fCols; j++) m = std::max(m, fData[i][j]);
    return m;
}

real64 dng_matrix::MinEntry() const {
    if (IsEmpty()) return 0.0;
    real64 m = fData[0][0];
    for (uint32 i = 0; i < fRows; i++)
        for (uint32 j = 0; j < fCols; j++) m = std::min(m, fData[i][j]);
    return m;
}

void dng_matrix::Scale(real64 factor) {
    for (uint32 i = 0; i < fRows; i++)
        for (uint32 j = 0; j < fCols; j++) fData[i][j] *= factor;
}

void dng_matrix::Round(real64 factor) {
    for (uint32 i = 0; i < fRows; i++)
        for (uint32 j = 0; j < fCols; j++) fData[i][j] = RoundTo(fData[i][j], factor);
}

dng_matrix_3by3::dng_matrix_3by3() : dng_matrix(3, 3) {}

dng_matrix_3by3::dng_matrix_3by3(real64 a00, real64 a01, real64 a02, real64 a10, real64 a11,
                                 real64 a12, real64 a20, real64 a21, real64 a22)
    : dng_matrix(3, 3) {
    const real64 v[9] = {a00, a01, a02, a10, a11, a12, a20, a21, a22};
    for (uint32 i = 0; i < 9; i++) fData[i / 3][i % 3] = v[i];
}

dng_matrix_3by3::dng_matrix_3by3(real64 a00, real64 a11, real64 a22) : dng_matrix(3, 3) {
    fData[0][0] = a00;
    fData[1][1] = a11;
    fData[2][2] = a22;
}

dng_matrix_3by3::dng_matrix_3by3(const dng_matrix& m) : dng_matrix(m) {
    if (Rows() != 3 || Cols() != 3) ThrowMatrixMath("Matrix is not 3 by 3");
}

dng_matrix_4by4::dng_matrix_4by4() : dng_matrix(4, 4) {}

dng_matrix_4by4::dng_matrix_4by4(real64 a00, real64 a01, real64 a02, real64 a03, real64 a10,
                                 real64 a11, real64 a12, real64 a13, real64 a20, real64 a21,
                                 real64 a22, real64 a23, real64 a30, real64 a31, real64 a32,
                                 real64 a33)
    : dng_matrix(4, 4) {
    const real64 v[16] = {a00, a01, a02, a03, a10, a11, a12, a13,
                          a20, a21, a22, a23, a30, a31, a32, a33};
    for (uint32 i = 0; i < 16; i++) fData[i / 4][i % 4] = v[i];
}

dng_matrix_4by4::dng_matrix_4by4(const dng_matrix& m) : dng_matrix(4, 4) {
    if (m.Rows() == 4 && m.Cols() == 4) {
        dng_matrix::operator=(m);
    } else if (m.Rows() == 3 && m.Cols() == 3) {
        for (uint32 i = 0; i < 3; i++)
            for (uint32 j = 0; j < 3; j++) fData[i][j] = m[i][j];
        fData[3][3] = 1.0;
    } else {
        ThrowMatrixMath("Matrix is not 4 by 4");
    }
}

// ---------------------------------------------------------------- operations

dng_matrix operator*(const dng_matrix& a, const dng_matrix& b) {
    if (a.IsEmpty() || b.IsEmpty() || a.Cols() != b.Rows())
        ThrowMatrixMath("Matrix sizes do not agree");
    dng_matrix c(a.Rows(), b.Cols());
    for (uint32 i = 0; i < a.Rows(); i++)
        for (uint32 j = 0; j < b.Cols(); j++) {
            real64 sum = 0.0;
            for (uint32 k = 0; k < a.Cols(); k++) sum += a[i][k] * b[k][j];
            c[i][j] = sum;
        }
    return c;
}

dng_vector operator*(const dng_matrix& a, const dng_vector& v) {
    if (a.IsEmpty() || a.Cols() != v.Count()) ThrowMatrixMath("Matrix and vector sizes differ");
    dng_vector r(a.Rows());
    for (uint32 i = 0; i < a.Rows(); i++) {
        real64 sum = 0.0;
        for (uint32 k = 0; k < a.Cols(); k++) sum += a[i][k] * v[k];
        r[i] = sum;
    }
    return r;
}

dng_matrix operator*(real64 scale, const dng_matrix& m) {
    dng_matrix r(m);
    r.Scale(scale);
    return r;
}

dng_vector operator*(real64 scale, const dng_vector& v) {
    dng_vector r(v);
    r.Scale(scale);
    return r;
}

dng_matrix operator+(const dng_matrix& a, const dng_matrix& b) {
    if (a.Rows() != b.Rows() || a.Cols() != b.Cols()) ThrowMatrixMath("Matrix shapes differ");
    dng_matrix c(a);
    for (uint32 i = 0; i < a.Rows(); i++)
        for (uint32 j = 0; j < a.Cols(); j++) c[i][j] += b[i][j];
    return c;
}

dng_vector operator+(const dng_vector& a, const dng_vector& b) {
    if (a.Count() != b.Count()) ThrowMatrixMath("Vector sizes differ");
    dng_vector c(a);
    for (uint32 i = 0; i < a.Count(); i++) c[i] += b[i];
    return c;
}

dng_matrix Transpose(const dng_matrix& m) {
    if (m.IsEmpty()) return dng_matrix();
    dng_matrix t(m.Cols(), m.Rows());
    for (uint32 i = 0; i < m.Rows(); i++)
        for (uint32 j = 0; j < m.Cols(); j++) t[j][i] = m[i][j];
    return t;
}

dng_matrix Invert(const dng_matrix& m) {
    if (m.IsEmpty()) ThrowMatrixMath("Cannot invert an empty matrix");
    if (m.Rows() == m.Cols()) return InvertSquare(m);
    // Moore-Penrose inverse of a full-rank matrix: left inverse when tall,
    // right inverse when wide; a rank-deficient one fails as singular.
    const dng_matrix t = Transpose(m);
    if (m.Rows() > m.Cols()) return InvertSquare(t * m) * t;
    return t * InvertSquare(m * t);
}

dng_matrix Invert(const dng_matrix& m, const dng_matrix& hint) {
    if (hint.IsEmpty()) return Invert(m);
    if (hint.Rows() != m.Cols() || hint.Cols() != m.Rows())
        ThrowMatrixMath("Hint has the wrong shape");
    return Invert(hint * m) * hint;
}
