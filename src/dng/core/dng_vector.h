// Vectors of 1 to 4 doubles (an empty vector has 0 entries). Plain values.
#pragma once

#include "dng/core/dng_types.h"

class dng_matrix;

class dng_vector {
public:
    static constexpr uint32 kMaxColorPlanes = 4;

    dng_vector() = default;
    // A zero vector; count outside 1..4 gives dng_error_unknown.
    explicit dng_vector(uint32 count);

    uint32 Count() const { return fCount; }
    bool IsEmpty() const { return fCount == 0; }
    bool NotEmpty() const { return fCount != 0; }

    real64& operator[](uint32 index) { return fData[index]; }
    const real64& operator[](uint32 index) const { return fData[index]; }

    bool operator==(const dng_vector& o) const;
    bool operator!=(const dng_vector& o) const { return !(*this == o); }

    void Clear();
    // n entries of 1.0 (n 1..4, else dng_error_unknown).
    void SetIdentity(uint32 count);

    // 0 for an empty vector.
    real64 MaxEntry() const;
    real64 MinEntry() const;

    void Scale(real64 factor);
    // Rounds every entry to the nearest multiple of 1 / factor.
    void Round(real64 factor);

    dng_matrix AsDiagonal() const;
    dng_matrix AsColumn() const;

protected:
    uint32 fCount = 0;
    real64 fData[kMaxColorPlanes] = {0.0, 0.0, 0.0, 0.0};
};

class dng_vector_3 : public dng_vector {
public:
    dng_vector_3();
    dng_vector_3(real64 a0, real64 a1, real64 a2);
    // The vector must have 3 entries, else dng_error_matrix_math.
    explicit dng_vector_3(const dng_vector& v);
};

class dng_vector_4 : public dng_vector {
public:
    dng_vector_4();
    dng_vector_4(real64 a0, real64 a1, real64 a2, real64 a3);
    // The vector must have 4 entries, else dng_error_matrix_math.
    explicit dng_vector_4(const dng_vector& v);
};
