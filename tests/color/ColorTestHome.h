// Helpers for the colour tests: test files, the profiles folder of a test
// home (testsupport::ScopedHome).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace colortest {

// The profiles folder below a test home.
inline std::filesystem::path profilesIn(const testsupport::ScopedHome& home) {
    return home.path() / "data" / "Quorvex" / "Profiles";
}

inline std::filesystem::path dcpDir() { return testsupport::testdataDir() / "dcp" / "set-a"; }

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace colortest
