// A plain driver for a fuzz target's entry point, so that every build (GCC,
// the sanitizer build) runs the targets over a fixed set of inputs: the seed
// files named on the command line (folders are read recursively), prefixes of
// each, copies with a few bytes changed, and inputs made here (empty, zeros,
// format signatures, pseudo-random bytes). A crash, sanitizer report or hang
// fails the test; the run is deterministic.
//
// Usage: replay_<target> [--max-bytes N] [PATH...]
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

// xorshift64*: the same inputs on every run and platform.
struct Random {
    uint64_t state;
    uint64_t next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 2685821657736338717ull;
    }
};

size_t runs = 0;

void run(const Bytes& input) {
    // A heap copy of exactly the input's size (never null, even when empty),
    // so that reads past it are caught.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[input.size()]);
    if (!input.empty()) std::memcpy(exact.get(), input.data(), input.size());
    LLVMFuzzerTestOneInput(exact.get(), input.size());
    ++runs;
}

void runSeedAndVariants(const Bytes& seed, Random& random) {
    run(seed);
    for (size_t cut : {seed.size() / 2, seed.size() / 7, size_t(64), size_t(9)})
        if (cut < seed.size()) run(Bytes(seed.begin(), seed.begin() + cut));
    for (int copy = 0; copy < 6 && !seed.empty(); ++copy) {
        Bytes changed(seed);
        for (int k = 0; k < 8; ++k) {
            // Most changes near the start, where headers and counts live.
            const size_t span = k % 2 ? changed.size() : std::min<size_t>(changed.size(), 512);
            changed[random.next() % span] = uint8_t(random.next());
        }
        run(changed);
    }
}

std::vector<Bytes> madeInputs(Random& random) {
    auto text = [](const char* s) { return Bytes(s, s + std::strlen(s)); };
    std::vector<Bytes> made = {
        {},
        {0},
        Bytes(64, 0),
        Bytes(300, 0xFF),
        Bytes{'I', 'I', 0x2A, 0, 8, 0, 0, 0},
        Bytes{'M', 'M', 0, 0x2A, 0, 0, 0, 8},
        Bytes{'I', 'I', 0x2A, 0, 8, 0, 0, 0, 1, 0, 0x00, 0x01, 3, 0, 1, 0, 0, 0, 0x40, 0, 0, 0},
        Bytes{0xFF, 0xD8, 0xFF, 0xC3, 0, 11, 16, 0, 8, 0, 8, 1, 1, 0x11, 0, 0xFF, 0xD9},
        Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'},
        text("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
             "<key>a</key><integer>7</integer><key>b</key><array><real>0.5</real>"
             "<string>x</string><true/><data>AAEC</data><date>2026-01-01T00:00:00Z</date>"
             "</array></dict></plist>"),
    };
    Bytes icc(128, 0);
    std::memcpy(&icc[36], "acsp", 4);
    icc[3] = 128;
    made.push_back(icc);
    for (size_t size : {size_t(16), size_t(257), size_t(4096), size_t(65536)}) {
        Bytes noise(size);
        for (auto& b : noise) b = uint8_t(random.next() >> 56);
        made.push_back(noise);
    }
    return made;
}

bool readFile(const std::filesystem::path& path, size_t maxBytes, Bytes& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(maxBytes, 0);
    in.read(reinterpret_cast<char*>(out.data()), std::streamsize(maxBytes));
    out.resize(size_t(in.gcount()));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    size_t maxBytes = size_t(1) << 20;
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--max-bytes" && i + 1 < argc) {
            maxBytes = std::strtoull(argv[++i], nullptr, 10);
            continue;
        }
        std::error_code ec;
        if (std::filesystem::is_directory(arg, ec)) {
            for (const auto& e : std::filesystem::recursive_directory_iterator(arg, ec))
                if (e.is_regular_file()) files.push_back(e.path());
        } else if (std::filesystem::is_regular_file(arg, ec)) {
            files.push_back(arg);
        } else {
            // A seed folder that is missing would silently shrink the test.
            std::fprintf(stderr, "no such seed file or folder: %s\n", arg.c_str());
            return 1;
        }
    }
    std::sort(files.begin(), files.end());
    Random random{0x9E3779B97F4A7C15ull};
    for (const Bytes& input : madeInputs(random)) runSeedAndVariants(input, random);
    for (const auto& file : files) {
        Bytes seed;
        if (!readFile(file, maxBytes, seed)) {
            std::fprintf(stderr, "cannot read %s\n", file.c_str());
            return 1;
        }
        runSeedAndVariants(seed, random);
    }
    std::printf("%zu inputs from %zu seed files\n", runs, files.size());
    return 0;
}
