// Cost of recomputing the core stage's colour: ComputeMatrixAndLUT's matrix and
// 4,096-entry gain table (on every stage-4 setting change, so it must stay at a
// few milliseconds at most), and the profile's 65,536-entry tone table with the
// default curve and with a profile's own spline.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "color/ComputeMatrixAndLUT.h"
#include "color/DNGCameraProfileAbstract.h"
#include "color/SettingsKeys.h"
#include "support/TestSupport.h"

namespace {

platform::Dictionary camera() {
    // ColorMatrix1 of a small-sensor camera and its as-shot white.
    const float m[3][3] = {
        {0.6142f, -0.169f, -0.0226f}, {-0.0721f, 0.8248f, 0.2238f}, {0.0526f, 0.064f, 0.3363f}};
    platform::Dictionary d{
        {"asShotWhitex", 0.3312}, {"asShotWhitey", 0.3457}, {"cameraBaselineExposure", -0.5}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            d.set("cameraFromXYZ" + std::to_string(r) + std::to_string(c), m[r][c]);
    return d;
}

void BM_ComputeMatrixAndLUT(benchmark::State& state) {
    const auto cameraParameters = std::make_shared<const platform::Dictionary>(camera());
    std::vector<float> lut(4 * 4096);
    float matrix[4][4], offset, kneeLow, kneeF;
    float ev = 0.0f;
    for (auto _ : state) {
        // A new object per change, as the core stage makes one.
        ComputeMatrixAndLUT compute;
        compute.setCameraParameters(cameraParameters);
        compute.setEnableCinematic(true);
        ev = ev > 1.0f ? -1.0f : ev + 0.01f;
        compute.setImageParameters(platform::Dictionary{
            {SettingsKeys::kInputEV, ev},
            {SettingsKeys::kInputContrast, 0.3},
            {SettingsKeys::kInputBrightness, 0.4},
            {SettingsKeys::kInputFillLight, 0.5},
            {SettingsKeys::kInputHighLight, 0.3},
            {SettingsKeys::kInputSaturation, 1.2},
            {SettingsKeys::kInputAngle, 0.05},
            {SettingsKeys::kInputTemperature, 5200.0},
            {SettingsKeys::kInputTint, 8.0},
            {SettingsKeys::kInputKneeLow, 1.0},
            {SettingsKeys::kInputKneeHigh, 4.0},
        });
        const bool ok =
            compute.populateFloatLUTAndMatrix(lut.data(), 4096, matrix, &offset, &kneeLow, &kneeF);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(lut.data());
    }
}
BENCHMARK(BM_ComputeMatrixAndLUT)->Unit(benchmark::kMicrosecond);

void BM_ToneTable16_DefaultCurve(benchmark::State& state) {
    const auto profile = DNGCameraProfileAbstract::initAsAutoProfile();
    std::vector<uint16_t> lut(DNGCameraProfileAbstract::kLUT16Size);
    std::vector<float> gains(DNGCameraProfileAbstract::kLUT16Size);
    for (auto _ : state) {
        profile->generateLUT16(lut.data(), gains.data(), -0.5f, false, false, 1.0f);
        benchmark::DoNotOptimize(lut.data());
    }
}
BENCHMARK(BM_ToneTable16_DefaultCurve)->Unit(benchmark::kMicrosecond);

void BM_ToneTable16_ProfileCurve(benchmark::State& state) {
    const std::filesystem::path file = testsupport::testdataDir() / "dcp/set-a/NIKON D850.dcp";
    const auto profile = DNGCameraProfileAbstract::initFromFile(file);
    if (!profile) {
        state.SkipWithError("profile file not found (set QUORVEX_TESTDATA)");
        return;
    }
    std::vector<uint16_t> lut(DNGCameraProfileAbstract::kLUT16Size);
    std::vector<float> gains(DNGCameraProfileAbstract::kLUT16Size);
    for (auto _ : state) {
        profile->generateLUT16(lut.data(), gains.data(), -0.5f, false, false, 1.0f);
        benchmark::DoNotOptimize(lut.data());
    }
}
BENCHMARK(BM_ToneTable16_ProfileCurve)->Unit(benchmark::kMicrosecond);

}  // namespace
