#include <gtest/gtest.h>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_matrix.h"
#include "support/DngErrorCode.h"

namespace {

using testsupport::CodeOf;

void ExpectNear(const dng_matrix& a, const dng_matrix& b, double tol = 1e-9) {
    ASSERT_EQ(a.Rows(), b.Rows());
    ASSERT_EQ(a.Cols(), b.Cols());
    for (uint32 i = 0; i < a.Rows(); i++)
        for (uint32 j = 0; j < a.Cols(); j++) EXPECT_NEAR(a[i][j], b[i][j], tol) << i << "," << j;
}

dng_matrix Identity(uint32 n) {
    dng_matrix m;
    m.SetIdentity(n);
    return m;
}

TEST(Matrix, ShapesAndConstruction) {
    EXPECT_EQ(CodeOf([] { dng_matrix m(0, 3); }), dng_error_unknown);
    EXPECT_EQ(CodeOf([] { dng_matrix m(5, 1); }), dng_error_unknown);
    EXPECT_EQ(CodeOf([] { dng_vector v(5); }), dng_error_unknown);
    EXPECT_EQ(CodeOf([] { dng_matrix_3by3 m(dng_matrix(3, 4)); }), dng_error_matrix_math);
    EXPECT_EQ(CodeOf([] { dng_vector_3 v(dng_vector(2)); }), dng_error_matrix_math);
    dng_matrix_3by3 m(1, 2, 3, 4, 5, 6, 7, 8, 9);
    EXPECT_EQ(m[1][2], 6.0);
    dng_matrix_4by4 m4(m);
    EXPECT_EQ(m4[3][3], 1.0);
    EXPECT_EQ(m4[2][0], 7.0);
    dng_matrix e;
    EXPECT_TRUE(e.IsEmpty());
    EXPECT_FALSE(e == dng_matrix(1, 1));
    m.Clear();
    EXPECT_TRUE(m.IsEmpty());
}

TEST(Matrix, ProductsSumsAndShapeErrors) {
    const dng_matrix_3by3 a(1, 2, 3, 4, 5, 6, 7, 8, 10);
    const dng_vector_3 v(1, 0, -1);
    const dng_vector r = a * v;
    EXPECT_EQ(r, dng_vector_3(-2, -2, -3));
    EXPECT_EQ(a * Identity(3), a);
    const dng_matrix s = 2.0 * a + a;
    EXPECT_EQ(s[2][2], 30.0);
    EXPECT_EQ(CodeOf([&] { (void)(a * dng_matrix(2, 2)); }), dng_error_matrix_math);
    EXPECT_EQ(CodeOf([&] { (void)(a * dng_vector(2)); }), dng_error_matrix_math);
    EXPECT_EQ(CodeOf([&] { (void)(a + dng_matrix(3, 2)); }), dng_error_matrix_math);
    dng_matrix t = Transpose(dng_matrix(2, 3));
    EXPECT_EQ(t.Rows(), 3u);
    EXPECT_EQ(t.Cols(), 2u);
}

TEST(Matrix, InvertSquareWithPivoting) {
    // A zero in the top-left corner needs a row exchange.
    const dng_matrix_3by3 a(0, 2, 1, 1, 1, 0, 3, 0, 1);
    ExpectNear(a * Invert(a), Identity(3));
    const dng_matrix_4by4 b(4, 1, 0, 0, 1, 4, 1, 0, 0, 1, 4, 1, 0, 0, 1, 4);
    ExpectNear(Invert(b) * b, Identity(4));
    dng_matrix one(1, 1);
    one[0][0] = 4.0;
    EXPECT_DOUBLE_EQ(Invert(one)[0][0], 0.25);
}

TEST(Matrix, InvertRejectsSingularAndEmpty) {
    const dng_matrix_3by3 singular(1, 2, 3, 2, 4, 6, 1, 1, 1);
    EXPECT_EQ(CodeOf([&] { Invert(singular); }), dng_error_matrix_math);
    const dng_matrix_3by3 nearSingular(1, 0, 0, 0, 1, 0, 0, 0, 1e-12);
    EXPECT_EQ(CodeOf([&] { Invert(nearSingular); }), dng_error_matrix_math);
    EXPECT_EQ(CodeOf([] { Invert(dng_matrix()); }), dng_error_matrix_math);
    dng_matrix zero(1, 1);
    EXPECT_EQ(CodeOf([&] { Invert(zero); }), dng_error_matrix_math);
}

TEST(Matrix, PseudoInverseOfTallAndWide) {
    dng_matrix a(4, 3);
    const double values[4][3] = {{1, 0, 0.5}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}};
    for (uint32 i = 0; i < 4; i++)
        for (uint32 j = 0; j < 3; j++) a[i][j] = values[i][j];
    const dng_matrix p = Invert(a);
    EXPECT_EQ(p.Rows(), 3u);
    EXPECT_EQ(p.Cols(), 4u);
    ExpectNear(p * a, Identity(3));
    // Moore-Penrose conditions.
    ExpectNear(a * p * a, a);
    ExpectNear(p * a * p, p);

    const dng_matrix w = Transpose(a);
    ExpectNear(w * Invert(w), Identity(3));

    // A hint of the transposed shape picks the inverse (H M)^-1 H.
    dng_matrix hint(3, 4);
    hint[0][0] = hint[1][1] = hint[2][2] = 1.0;
    const dng_matrix h = Invert(a, hint);
    ExpectNear(h * a, Identity(3));
    for (uint32 i = 0; i < 3; i++) EXPECT_NEAR(h[i][3], 0.0, 1e-12);
    EXPECT_EQ(Invert(a, dng_matrix()), p);
    EXPECT_EQ(CodeOf([&] { Invert(a, dng_matrix(4, 3)); }), dng_error_matrix_math);
}

TEST(Matrix, VectorHelpersAndRounding) {
    dng_vector v;
    EXPECT_EQ(v.MaxEntry(), 0.0);
    v.SetIdentity(3);
    EXPECT_EQ(v.AsDiagonal(), Identity(3));
    dng_vector_3 w(0.12345, -2.0, 5.0);
    EXPECT_EQ(w.MaxEntry(), 5.0);
    EXPECT_EQ(w.MinEntry(), -2.0);
    w.Round(100);
    EXPECT_DOUBLE_EQ(w[0], 0.12);
    const dng_matrix c = w.AsColumn();
    EXPECT_EQ(c.Rows(), 3u);
    EXPECT_EQ(c.Cols(), 1u);
    dng_matrix_3by3 m(0.123456, 0, 0, 0, 1, 0, 0, 0, 1);
    m.Round(10000);
    EXPECT_DOUBLE_EQ(m[0][0], 0.1235);
    m.Scale(2.0);
    EXPECT_DOUBLE_EQ(m[1][1], 2.0);
}

}  // namespace
