#include "dng/color/dng_1d_function.h"

#include <algorithm>
#include <cmath>

dng_1d_function::~dng_1d_function() = default;

bool dng_1d_function::IsIdentity() const { return false; }

real64 dng_1d_function::EvaluateInverse(real64 y) const {
    real64 x0 = 0.0;
    real64 y0 = Evaluate(x0);
    real64 x1 = 1.0;
    real64 y1 = Evaluate(x1);
    for (int iteration = 0; iteration < 30; ++iteration) {
        if (std::fabs(y1 - y0) < 1.0e-10) break;
        const real64 x = std::clamp(x1 + (x1 - x0) * (y - y1) / (y1 - y0), 0.0, 1.0);
        x0 = x1;
        y0 = y1;
        x1 = x;
        y1 = Evaluate(x);
    }
    return x1;
}

bool dng_1d_identity::IsIdentity() const { return true; }

real64 dng_1d_identity::Evaluate(real64 x) const { return x; }

real64 dng_1d_identity::EvaluateInverse(real64 y) const { return y; }

const dng_1d_function& dng_1d_identity::Get() {
    static const dng_1d_identity identity;
    return identity;
}

dng_1d_concatenate::dng_1d_concatenate(const dng_1d_function& function1,
                                       const dng_1d_function& function2)
    : fFunction1(function1), fFunction2(function2) {}

bool dng_1d_concatenate::IsIdentity() const {
    return fFunction1.IsIdentity() && fFunction2.IsIdentity();
}

real64 dng_1d_concatenate::Evaluate(real64 x) const {
    return fFunction2.Evaluate(std::clamp(fFunction1.Evaluate(x), 0.0, 1.0));
}

real64 dng_1d_concatenate::EvaluateInverse(real64 y) const {
    return fFunction1.EvaluateInverse(fFunction2.EvaluateInverse(y));
}

dng_1d_inverse::dng_1d_inverse(const dng_1d_function& f) : fFunction(f) {}

bool dng_1d_inverse::IsIdentity() const { return fFunction.IsIdentity(); }

real64 dng_1d_inverse::Evaluate(real64 x) const { return fFunction.EvaluateInverse(x); }

real64 dng_1d_inverse::EvaluateInverse(real64 y) const { return fFunction.Evaluate(y); }
