#include "dng/color/dng_temperature.h"

#include <cmath>

namespace {

// One unit of tint is 1/3000 of CIE 1960 uv across the isotemperature line.
constexpr real64 kTintScale = -3000.0;

struct RuvtRow {
    real64 r;  // mireds
    real64 u;
    real64 v;
    real64 t;  // slope dv/du of the isotemperature line
};

// Robertson's table. Row 325 carries the published u of 0.24792; the often
// copied 0.24702 bends the locus there and breaks the round trip between
// chromaticity and temperature by about 1e-5 around 3000 K.
constexpr RuvtRow kTempTable[] = {
    {0, 0.18006, 0.26352, -0.24341},   {10, 0.18066, 0.26589, -0.25479},
    {20, 0.18133, 0.26846, -0.26876},  {30, 0.18208, 0.27119, -0.28539},
    {40, 0.18293, 0.27407, -0.30470},  {50, 0.18388, 0.27709, -0.32675},
    {60, 0.18494, 0.28021, -0.35156},  {70, 0.18611, 0.28342, -0.37915},
    {80, 0.18740, 0.28668, -0.40955},  {90, 0.18880, 0.28997, -0.44278},
    {100, 0.19032, 0.29326, -0.47888}, {125, 0.19462, 0.30141, -0.58204},
    {150, 0.19962, 0.30921, -0.70471}, {175, 0.20525, 0.31647, -0.84901},
    {200, 0.21142, 0.32312, -1.0182},  {225, 0.21807, 0.32909, -1.2168},
    {250, 0.22511, 0.33439, -1.4512},  {275, 0.23247, 0.33904, -1.7298},
    {300, 0.24010, 0.34308, -2.0637},  {325, 0.24792, 0.34655, -2.4681},
    {350, 0.25591, 0.34951, -2.9641},  {375, 0.26400, 0.35200, -3.5814},
    {400, 0.27218, 0.35407, -4.3633},  {425, 0.28039, 0.35577, -5.3762},
    {450, 0.28863, 0.35714, -6.7262},  {475, 0.29685, 0.35823, -8.5955},
    {500, 0.30505, 0.35907, -11.324},  {525, 0.31320, 0.35968, -15.628},
    {550, 0.32129, 0.36011, -23.325},  {575, 0.32931, 0.36038, -40.770},
    {600, 0.33724, 0.36051, -116.45},
};

constexpr int kLastRow = 30;

}  // namespace

void dng_temperature::Set_xy_coord(const dng_xy_coord& xy) {
    // CIE 1960 uv.
    const real64 d = 1.5 - xy.x + 6.0 * xy.y;
    const real64 u = 2.0 * xy.x / d;
    const real64 v = 3.0 * xy.y / d;

    real64 last_dt = 0.0, last_du = 0.0, last_dv = 0.0;
    for (int index = 1; index <= kLastRow; ++index) {
        const RuvtRow& row = kTempTable[index];
        const real64 len = std::sqrt(1.0 + row.t * row.t);
        real64 du = 1.0 / len;
        real64 dv = row.t / len;

        real64 uu = u - row.u;
        real64 vv = v - row.v;
        real64 dt = -uu * dv + vv * du;

        if (dt <= 0.0 || index == kLastRow) {
            dt = dt < 0.0 ? -dt : 0.0;
            const real64 f = index == 1 ? 0.0 : dt / (last_dt + dt);
            const RuvtRow& prev = kTempTable[index - 1];

            fTemperature = 1.0e6 / (prev.r * f + row.r * (1.0 - f));

            uu = u - (prev.u * f + row.u * (1.0 - f));
            vv = v - (prev.v * f + row.v * (1.0 - f));

            du = du * (1.0 - f) + last_du * f;
            dv = dv * (1.0 - f) + last_dv * f;
            const real64 norm = std::sqrt(du * du + dv * dv);
            du /= norm;
            dv /= norm;

            fTint = (uu * du + vv * dv) * kTintScale;
            return;
        }
        last_dt = dt;
        last_du = du;
        last_dv = dv;
    }
}

dng_xy_coord dng_temperature::Get_xy_coord() const {
    const real64 r = 1.0e6 / fTemperature;
    const real64 offset = fTint * (1.0 / kTintScale);

    int index = kLastRow;
    for (int j = 1; j <= kLastRow; ++j) {
        if (kTempTable[j].r > r) {
            index = j;
            break;
        }
    }
    const RuvtRow& prev = kTempTable[index - 1];
    const RuvtRow& row = kTempTable[index];

    const real64 f = (row.r - r) / (row.r - prev.r);
    real64 u = prev.u * f + row.u * (1.0 - f);
    real64 v = prev.v * f + row.v * (1.0 - f);

    const real64 len1 = std::sqrt(1.0 + prev.t * prev.t);
    const real64 len2 = std::sqrt(1.0 + row.t * row.t);
    real64 du = (1.0 / len1) * f + (1.0 / len2) * (1.0 - f);
    real64 dv = (prev.t / len1) * f + (row.t / len2) * (1.0 - f);
    const real64 norm = std::sqrt(du * du + dv * dv);
    du /= norm;
    dv /= norm;

    u += du * offset;
    v += dv * offset;

    const real64 denom = u - 4.0 * v + 2.0;
    return dng_xy_coord(1.5 * u / denom, v / denom);
}
