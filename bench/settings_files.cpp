// Settings files whose keys were built against a fixed hash: 100,000 keys
// whose std::hash has bits 12 to 20 zero, as a Defaults.plist read at start
// and as one entry of a catalog (about 4 MB) that a document opens. Both
// should cost what ordinary keys cost (compare BM_ReadDictionary in
// catalog_store); the goal is well under 2 s each.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/DataStoreItem.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"

namespace {

namespace fs = std::filesystem;
using platform::Dictionary;
using platform::Value;

const std::vector<std::string>& collidingKeys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> out;
        for (uint64_t i = 0; out.size() < 100'000; ++i) {
            std::string key = "Quorvex_k" + std::to_string(i);
            if (((std::hash<std::string_view>{}(key) >> 12) & 0x1FF) == 0) out.push_back(key);
        }
        return out;
    }();
    return keys;
}

Dictionary collidingDictionary() {
    Dictionary d;
    for (const auto& key : collidingKeys()) d.set(key, true);
    return d;
}

struct Scratch {
    Scratch() {
        root = fs::temp_directory_path() / ("quorvex-bench-settings-" + std::to_string(::getpid()));
        fs::create_directories(root);
    }
    ~Scratch() { fs::remove_all(root); }
    fs::path root;
};

void BM_DefaultsWithCollidingKeys(benchmark::State& state) {
    Scratch scratch;
    const fs::path file = scratch.root / "Defaults.plist";
    platform::writePropertyList(Value(collidingDictionary()), file);
    for (auto _ : state) {
        platform::UserDefaults defaults(file);
        if (!defaults.boolForKey(collidingKeys().back())) return state.SkipWithError("not read");
    }
    state.counters["file MB"] = double(fs::file_size(file)) / 1e6;
}
BENCHMARK(BM_DefaultsWithCollidingKeys)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_CatalogEntryWithCollidingKeys(benchmark::State& state) {
    Scratch scratch;
    ::setenv("XDG_DATA_HOME", scratch.root.c_str(), 1);
    DataStoreItem::forgetCatalogDirectory();
    Dictionary entry = collidingDictionary();
    entry.set("Quorvex_UUID", "/photos/a.dng");
    const auto path = *DataStoreItem("Catalog").storeFilePath();
    platform::writePropertyList(Value(Value::Array{Value(std::move(entry))}), path);
    for (auto _ : state) {
        DataStoreItem store("Catalog");
        if (!store.getItemForUUID("/photos/a.dng")) return state.SkipWithError("entry not found");
    }
    state.counters["file MB"] = double(fs::file_size(path)) / 1e6;
    DataStoreItem::forgetCatalogDirectory();
}
BENCHMARK(BM_CatalogEntryWithCollidingKeys)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
