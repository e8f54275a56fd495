// The main of a windowed benchmark program: the offscreen platform unless
// one is chosen, and a scratch home, so that the catalog and settings the
// windows write on the way stay out of the user's.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/UserDefaults.h"
#include "ui/QuorvexApplication.h"

inline int runWindowBenchmarks(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    char scratch[] = "/tmp/quorvex-bench-XXXXXX";
    if (!mkdtemp(scratch)) return 1;
    const std::string home = scratch;
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    platform::UserDefaults::resetStandardForEnvironment();
    QuorvexApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return 0;
}
