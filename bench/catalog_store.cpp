// Settings files at scale: reading and writing a dictionary of 1,000,000
// keys, and catalogs of 20,000 and 100,000 photos (entries made the way a
// closing document makes them, about 2.3 KB each): a new process's batch of
// eleven lookups, and a document's close in the window (one change).
//
// Also makes catalogs for bench/catalog_cli.sh:
//   bench_catalog_store --make-catalog ENTRIES FILE [IMAGE...]
// writes ENTRIES entries; the IMAGEs' entries are spread among them.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "document/PresetManager.h"
#include "engine/MultiDataStore.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"

namespace {

namespace fs = std::filesystem;
using platform::Dictionary;
using platform::Value;

// What a document writes when it closes: its settings (the "Default" preset
// plus what the window adds) in their property-list form.
Dictionary catalogEntry(const std::string& uuid, int n) {
    // Once: the presets' folder goes with each benchmark's scratch folder.
    static const Dictionary preset =
        PresetManager::sharedPresetManager().presetNamed("Default").value_or(Dictionary{});
    Dictionary settings = preset;
    settings.set("Quorvex_UUID", uuid);
    settings.set("Quorvex_Filter_inputEV", 0.01 * (n % 200));
    settings.set("Quorvex_Filter_inputTemperature", 3000.0 + n % 4000);
    settings.set("Quorvex_Filter_inputTint", double(n % 50));
    settings.set("Quorvex_CropX", 10.0);
    settings.set("Quorvex_CropY", 12.0);
    settings.set("Quorvex_CropWidth", 4000.0);
    settings.set("Quorvex_CropHeight", 3000.0);
    settings.set("Quorvex_ImageOrientation", 1.0);
    return MultiDataStore::sharedMultiDataStore().serializeToPList(settings);
}

std::string photoPath(int n) {
    return "/home/photographer/Pictures/2026/Trip " + std::to_string(n / 500) + "/IMG_" +
           std::to_string(10000 + n) + ".dng";
}

Value::Array makeCatalog(int entries, const std::vector<std::string>& images) {
    Value::Array array;
    array.reserve(size_t(entries));
    for (int n = 0; n < entries; ++n) array.emplace_back(catalogEntry(photoPath(n), n));
    for (size_t i = 0; i < images.size() && entries > 0; ++i)
        array[i * size_t(entries) / images.size()] = catalogEntry(images[i], int(i));
    return array;
}

void BM_ReadDictionary(benchmark::State& state) {
    Dictionary big;
    for (int64_t i = 0; i < state.range(0); ++i) big.set("key" + std::to_string(i), i);
    const std::string xml = platform::serializePropertyList(Value(std::move(big)));
    for (auto _ : state) {
        auto value = platform::parsePropertyList(xml);
        if (!value || value->dictionary().size() != size_t(state.range(0)))
            return state.SkipWithError("not read back");
    }
    state.counters["MB/s"] =
        benchmark::Counter(double(xml.size()) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ReadDictionary)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

void BM_WriteDictionary(benchmark::State& state) {
    Dictionary big;
    for (int64_t i = 0; i < state.range(0); ++i) big.set("key" + std::to_string(i), i);
    const Value value(std::move(big));
    for (auto _ : state) benchmark::DoNotOptimize(platform::serializePropertyList(value));
}
BENCHMARK(BM_WriteDictionary)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(1);

// A catalog of `entries` photos in a fresh Application Support folder.
struct CatalogFixture {
    explicit CatalogFixture(int entries) {
        root = fs::temp_directory_path() / ("quorvex-bench-catalog-" + std::to_string(::getpid()));
        fs::create_directories(root);
        ::setenv("XDG_DATA_HOME", root.c_str(), 1);
        DataStoreItem::forgetCatalogDirectory();
        store = MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog");
        platform::Error error;
        if (!platform::writePropertyList(Value(makeCatalog(entries, {})), *store->storeFilePath(),
                                         &error))
            std::fprintf(stderr, "%s\n", error.description().c_str());
        bytes = fs::file_size(*store->storeFilePath());
    }
    ~CatalogFixture() {
        DataStoreItem::forgetCatalogDirectory();
        fs::remove_all(root);
    }
    fs::path root;
    std::shared_ptr<DataStoreItem> store;
    uintmax_t bytes = 0;
};

// The command line's batch: eleven documents opened by a new process, which
// reads the catalog for the first time.
void BM_CatalogBatchOfEleven(benchmark::State& state) {
    const int entries = int(state.range(0));
    CatalogFixture catalog(entries);
    for (auto _ : state) {
        DataStoreItem store("Catalog");
        for (int i = 0; i < 11; ++i)
            if (!store.getItemForUUID(photoPath(entries * i / 11)))
                return state.SkipWithError("entry not found");
    }
    state.counters["file MB"] = double(catalog.bytes) / 1e6;
}
BENCHMARK(BM_CatalogBatchOfEleven)
    ->Arg(20'000)
    ->Arg(100'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// A document closed in the window: its entry replaced (the document read it
// when it opened, untimed).
void BM_CatalogClose(benchmark::State& state) {
    const int entries = int(state.range(0));
    CatalogFixture catalog(entries);
    int n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        DataStoreItem store("Catalog");
        const std::string uuid = photoPath(entries / 2 + n++);
        const bool opened = bool(store.getItemForUUID(uuid));
        state.ResumeTiming();
        if (!opened || !store.addItem(catalogEntry(uuid, n)))
            return state.SkipWithError("not read or not written");
    }
    state.counters["file MB"] = double(catalog.bytes) / 1e6;
}
BENCHMARK(BM_CatalogClose)
    ->Arg(100'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "--make-catalog") == 0) {
        const std::vector<std::string> images(argv + 4, argv + argc);
        platform::Error error;
        if (!platform::writePropertyList(Value(makeCatalog(std::atoi(argv[2]), images)), argv[3],
                                         &error)) {
            std::fprintf(stderr, "%s\n", error.description().c_str());
            return 1;
        }
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
