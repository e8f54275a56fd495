#include "color/ColorMatrixProblem.h"

#include <cmath>
#include <cstdio>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_matrix.h"

namespace {

constexpr double kMaxMatrixEntry = 100.0;

}  // namespace

std::string ColorValueText(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+infinity" : "-infinity";
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

std::string ColorMatrixProblem(const dng_matrix& m) {
    for (uint32 r = 0; r < m.Rows(); r++)
        for (uint32 c = 0; c < m.Cols(); c++) {
            const double e = m[r][c];
            if (!std::isfinite(e)) return "holds " + ColorValueText(e);
            if (std::fabs(e) > kMaxMatrixEntry)
                return "holds " + ColorValueText(e) + ", beyond +-" +
                       ColorValueText(kMaxMatrixEntry);
        }
    if (m.Rows() != m.Cols()) return {};
    try {
        (void)Invert(m);
    } catch (const dng_exception&) {
        return "cannot be inverted";
    }
    return {};
}

std::string ProfileMatricesProblem(const dng_matrix& first, const dng_matrix* second) {
    if (const std::string why = ColorMatrixProblem(first); !why.empty())
        return "its colour matrix " + why;
    if (second)
        if (const std::string why = ColorMatrixProblem(*second); !why.empty())
            return "its second colour matrix " + why;
    return {};
}
