#include "engine/FileBackedFactoryNSData.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "engine/FileBackedDataManager.h"
#include "platform/LargeBlockPool.h"
#include "platform/Log.h"
#include "platform/SystemInfo.h"

namespace {

std::mutex& hookMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::function<bool(uint64_t)>& hook() {
    static auto* h = new std::function<bool(uint64_t)>;
    return *h;
}

}  // namespace

void FileBackedFactoryNSData::setHeapRefusalHook(std::function<bool(uint64_t size)> h) {
    std::lock_guard lock(hookMutex());
    hook() = std::move(h);
}

bool FileBackedFactoryNSData::heapRefuses(uint64_t size) {
    {
        std::lock_guard lock(hookMutex());
        if (hook()) return hook()(size);
    }
    if (size < kLargeBlockBytes) return false;
    auto stats = platform::memoryStatistics();
    return stats && size > stats->available / 2;
}

std::shared_ptr<FileBackedFactoryNSData> FileBackedFactoryNSData::initWithSize(
    uint64_t size, bool preferVirtualMemory) {
    return make(size, preferVirtualMemory, true);
}

std::shared_ptr<FileBackedFactoryNSData> FileBackedFactoryNSData::initUnclearedWithSize(
    uint64_t size) {
    return make(size, false, false);
}

std::shared_ptr<FileBackedFactoryNSData> FileBackedFactoryNSData::make(uint64_t size,
                                                                       bool preferVirtualMemory,
                                                                       bool zeroed) {
    std::shared_ptr<FileBackedFactoryNSData> data(new FileBackedFactoryNSData);
    data->fd = -1;
    data->bufferLength = size;
    if (!preferVirtualMemory) {
        if (!heapRefuses(size)) {
            data->pBuffer = static_cast<uint8_t*>(platform::allocateLargeBlock(size, zeroed));
            data->pooled_ = data->pBuffer != nullptr;
        }
        if (!data->pBuffer)
            platform::log(
                ">>>>> Warning: real memory could not be assigned; falling back to virtual");
    }
    if (!data->pBuffer) {
        data->pBuffer = static_cast<uint8_t*>(
            FileBackedDataManager::sharedFileBackedDataManager().allocVM(size));
        data->fileBacked_ = data->pBuffer != nullptr;
    }
    data->writePtr = data->pBuffer;
    if (!data->pBuffer) {
        platform::log("FileBackedFactoryNSData failed - no memory");
        return nullptr;
    }
    return data;
}

FileBackedFactoryNSData::~FileBackedFactoryNSData() { doneWithData(); }

bool FileBackedFactoryNSData::writeToData(const void* bytes, uint64_t length) {
    uint64_t used = writePtr ? static_cast<uint64_t>(writePtr - pBuffer) : 0;
    if (!writePtr || length > bufferLength - used) {
        platform::log("FileBackedFactoryNSData writeToData buffer overrun failure");
        return false;
    }
    if (length) std::memcpy(writePtr, bytes, length);
    writePtr += length;
    return true;
}

bool FileBackedFactoryNSData::appendBytes(const std::vector<uint8_t>& data) {
    return writeToData(data.data(), data.size());
}

bool FileBackedFactoryNSData::appendBytes(const FileBackedFactoryNSData& data) {
    return writeToData(data.bytes(), data.length());
}

void FileBackedFactoryNSData::doneWithData() {
    if (fd >= 0) {
        if (pBuffer) {
            ::madvise(pBuffer, bufferLength, MADV_DONTNEED);
            ::munmap(pBuffer, bufferLength);
        }
        if (::ftruncate(fd, 0) != 0) {
            // The file is closed (and removed if temporary) below regardless.
        }
        ::close(fd);
    } else if (pooled_) {
        platform::releaseLargeBlock(pBuffer, bufferLength);
    } else if (pBuffer) {
        FileBackedDataManager::sharedFileBackedDataManager().deallocVM(pBuffer);
    }
    if (fileName_) {
        if (isTempFile) ::unlink(fileName_->c_str());
        fileName_.reset();
    }
    fd = -1;
    pBuffer = nullptr;
    writePtr = nullptr;
    fileBacked_ = false;
    pooled_ = false;
}
