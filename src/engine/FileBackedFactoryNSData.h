// One zero-filled block of memory with a length: memory from
// platform::allocateLargeBlock (large blocks recycled between buffers) when
// the system grants it, else (or when the caller prefers it) a mapped
// temporary file from FileBackedDataManager. Pixel buffers take their memory
// from here.
//
// The object owns its block and releases it in doneWithData() or on
// destruction. It is not locked: its users guard the bytes with their own locks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class FileBackedFactoryNSData {
public:
    // nullptr (after logging "FileBackedFactoryNSData failed - no memory") when
    // neither the heap nor a temporary file can provide `size` bytes.
    static std::shared_ptr<FileBackedFactoryNSData> initWithSize(uint64_t size,
                                                                 bool preferVirtualMemory);
    // The same without the zeroing, for a caller that writes every byte
    // before anything reads it (the bytes are then whatever a former user of
    // the memory left).
    static std::shared_ptr<FileBackedFactoryNSData> initUnclearedWithSize(uint64_t size);
    ~FileBackedFactoryNSData();
    FileBackedFactoryNSData(const FileBackedFactoryNSData&) = delete;
    FileBackedFactoryNSData& operator=(const FileBackedFactoryNSData&) = delete;

    uint64_t length() const { return bufferLength; }
    const void* bytes() const { return pBuffer; }
    void* mutableBytes() { return pBuffer; }
    bool isFileBacked() const { return fileBacked_; }

    // Copies at the append position and advances it; refuses (and logs) a
    // write that would pass the end of the block. Returns whether it wrote.
    bool writeToData(const void* bytes, uint64_t length);
    bool appendBytes(const std::vector<uint8_t>& data);
    bool appendBytes(const FileBackedFactoryNSData& data);

    // Releases the block; afterwards bytes() is null. Safe to call twice.
    void doneWithData();

    const std::optional<std::string>& fileName() const { return fileName_; }
    void setFileName(std::optional<std::string> name) { fileName_ = std::move(name); }

    // Heap memory is treated as refused for blocks of at least this size that
    // would take more than half of the memory the system has available, since
    // the heap practically never refuses on its own.
    static constexpr uint64_t kLargeBlockBytes = uint64_t(64) << 20;
    // Replaces that rule (tests force the file-backed path); null restores it.
    static void setHeapRefusalHook(std::function<bool(uint64_t size)> hook);

private:
    FileBackedFactoryNSData() = default;
    static bool heapRefuses(uint64_t size);
    static std::shared_ptr<FileBackedFactoryNSData> make(uint64_t size, bool preferVirtualMemory,
                                                         bool zeroed);

    uint8_t* pBuffer = nullptr;
    uint8_t* writePtr = nullptr;
    uint64_t bufferLength = 0;
    int fd = -1;
    bool isTempFile = false;
    std::optional<std::string> fileName_;
    bool fileBacked_ = false;
    bool pooled_ = false;  // from platform::allocateLargeBlock
};
