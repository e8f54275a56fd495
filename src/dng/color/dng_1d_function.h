// One-dimensional functions on [0, 1]: the common description of every
// per-channel curve (encodings, ramps, tone curves). Functions are immutable
// after construction, so const calls are safe from several threads.
//
// dng_1d_concatenate and dng_1d_inverse hold references to functions they do
// not own; those must outlive them.
#pragma once

#include "dng/core/dng_types.h"

class dng_1d_function {
public:
    virtual ~dng_1d_function();

    virtual bool IsIdentity() const;

    virtual real64 Evaluate(real64 x) const = 0;

    // Secant search on [0, 1]; subclasses with a closed form override it.
    virtual real64 EvaluateInverse(real64 y) const;
};

class dng_1d_identity : public dng_1d_function {
public:
    bool IsIdentity() const override;
    real64 Evaluate(real64 x) const override;
    real64 EvaluateInverse(real64 y) const override;

    // The shared instance.
    static const dng_1d_function& Get();
};

// second(clamp(first(x), 0, 1)).
class dng_1d_concatenate : public dng_1d_function {
public:
    dng_1d_concatenate(const dng_1d_function& function1, const dng_1d_function& function2);

    bool IsIdentity() const override;
    real64 Evaluate(real64 x) const override;
    real64 EvaluateInverse(real64 y) const override;

protected:
    const dng_1d_function& fFunction1;
    const dng_1d_function& fFunction2;
};

// Swaps evaluation and inverse of another function.
class dng_1d_inverse : public dng_1d_function {
public:
    explicit dng_1d_inverse(const dng_1d_function& f);

    bool IsIdentity() const override;
    real64 Evaluate(real64 x) const override;
    real64 EvaluateInverse(real64 y) const override;

protected:
    const dng_1d_function& fFunction;
};
