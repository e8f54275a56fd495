// Process-wide manager of memory blocks mapped from temporary files
// ("quorvextempfile.XXXXXX" in the per-process temporary folder).
//
// allocVM() and deallocVM() are thread-safe and serialise on the manager.
// deallocVM() returns at once: unmapping, truncating and removing the file
// happen later on the background-priority global queue. The manager owns the
// list of mappings; the caller owns a block until it hands it to deallocVM().
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

class FileBackedDataManager {
public:
    static FileBackedDataManager& sharedFileBackedDataManager();

    // A zero-filled block of `size` bytes backed by a new temporary file, or
    // nullptr (the file is removed again on every failure).
    void* allocVM(uint64_t size);
    // Gives a block back: a mapped block is released in the background; an
    // address the manager did not hand out is freed as a heap block.
    void deallocVM(void* address);

    FileBackedDataManager(const FileBackedDataManager&) = delete;
    FileBackedDataManager& operator=(const FileBackedDataManager&) = delete;

private:
    FileBackedDataManager();

    struct Mapping {
        void* address = nullptr;
        int fd = -1;
        uint64_t length = 0;
        std::unique_ptr<char[]> path;  // null-terminated, file-system representation
        Mapping* next = nullptr;
    };

    std::mutex monitor_;
    Mapping* head_ = nullptr;  // oldest first; new records are appended
};
