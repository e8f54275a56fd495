#include "dng/color/dng_spline_solver.h"

#include "dng/core/dng_exception.h"

dng_spline_solver::dng_spline_solver() = default;

dng_spline_solver::~dng_spline_solver() = default;

void dng_spline_solver::Reset() {
    X.clear();
    Y.clear();
    S.clear();
}

void dng_spline_solver::Add(real64 x, real64 y) {
    X.push_back(x);
    Y.push_back(y);
}

void dng_spline_solver::Solve() {
    const size_t count = X.size();
    if (count < 2) ThrowDNGError(dng_error_unknown, "Too few points");

    S.assign(count, 0.0);

    // First estimate: each inner slope blends the chords on either side.
    real64 A = X[1] - X[0];
    real64 B = (Y[1] - Y[0]) / A;
    S[0] = B;
    for (size_t j = 2; j < count; ++j) {
        const real64 H = X[j] - X[j - 1];
        const real64 D = (Y[j] - Y[j - 1]) / H;
        S[j - 1] = (B * H + D * A) / (A + H);
        A = H;
        B = D;
    }
    S[count - 1] = 2.0 * B - S[count - 2];
    S[0] = 2.0 * S[0] - S[1];

    if (count > 2) {
        // Refine with the tridiagonal system of a C2 spline.
        std::vector<real64> E(count, 0.0);
        std::vector<real64> F(count, 0.0);
        std::vector<real64> G(count, 0.0);
        F[0] = 0.5;
        E[count - 1] = 0.5;
        G[0] = 0.75 * (S[0] + S[1]);
        G[count - 1] = 0.75 * (S[count - 2] + S[count - 1]);
        for (size_t j = 1; j < count - 1; ++j) {
            A = (X[j + 1] - X[j - 1]) * 2.0;
            E[j] = (X[j + 1] - X[j]) / A;
            F[j] = (X[j] - X[j - 1]) / A;
            G[j] = 1.5 * S[j];
        }
        for (size_t j = 1; j < count; ++j) {
            A = 1.0 - F[j - 1] * E[j];
            if (j != count - 1) F[j] /= A;
            G[j] = (G[j] - G[j - 1] * E[j]) / A;
        }
        for (size_t j = count - 1; j-- > 0;) G[j] = G[j] - F[j] * G[j + 1];
        S = G;
    }
}

bool dng_spline_solver::IsIdentity() const {
    return X.size() == 2 && X[0] == 0.0 && Y[0] == 0.0 && X[1] == 1.0 && Y[1] == 1.0;
}

real64 dng_spline_solver::Evaluate(real64 x) const {
    const size_t count = X.size();
    // Unsolved or empty: nothing to interpolate.
    if (count == 0 || S.size() != count) return count ? Y[0] : x;
    if (x <= X[0]) return Y[0];
    if (x >= X[count - 1]) return Y[count - 1];

    size_t lower = 1;
    size_t upper = count - 1;
    while (upper > lower) {
        const size_t mid = (lower + upper) >> 1;
        if (x == X[mid]) return Y[mid];
        if (x > X[mid])
            lower = mid + 1;
        else
            upper = mid;
    }
    const size_t j = lower;

    const real64 A = X[j] - X[j - 1];
    const real64 t = (x - X[j - 1]) / A;
    const real64 u = (X[j] - x) / A;
    return t * t * ((2.0 - t + u) * Y[j] - A * S[j] * u) +
           u * u * (S[j - 1] * A * t + (2.0 - u + t) * Y[j - 1]);
}
