// A cubic spline through a list of points, as used for tone curves. Build it
// with Reset/Add/Solve on one thread; afterwards Evaluate is const and safe
// from several threads.
#pragma once

#include <vector>

#include "dng/color/dng_1d_function.h"

class dng_spline_solver : public dng_1d_function {
public:
    dng_spline_solver();
    ~dng_spline_solver() override;

    void Reset();

    void Add(real64 x, real64 y);

    // Computes the slopes; fewer than two points throws 100000.
    virtual void Solve();

    bool IsIdentity() const override;

    real64 Evaluate(real64 x) const override;

protected:
    std::vector<real64> X;
    std::vector<real64> Y;
    std::vector<real64> S;
};
