#include "platform/IccLcms.h"

#include <lcms2_plugin.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace platform::icc {

namespace {

std::atomic<unsigned> gRefusals{0};

// lcms2's own mutexes are made without checking the allocation: short of
// memory it initialises a null mutex and crashes. These fall back to one
// shared mutex, which still serialises every profile left without its own.
std::mutex gSharedMutex;

void* createMutex(cmsContext context) {
    if (auto* made = new (std::nothrow) std::mutex) return made;
    ++gRefusals;
    Context::noteRefusal(context);
    return &gSharedMutex;
}
void destroyMutex(cmsContext, void* mutex) {
    if (mutex != &gSharedMutex) delete static_cast<std::mutex*>(mutex);
}
cmsBool lockMutex(cmsContext, void* mutex) {
    static_cast<std::mutex*>(mutex)->lock();
    return TRUE;
}
void unlockMutex(cmsContext, void* mutex) { static_cast<std::mutex*>(mutex)->unlock(); }

cmsPluginMutex gMutexPlugin = {{cmsPluginMagicNumber, 2060, cmsPluginMutexSig, nullptr},
                               &createMutex,
                               &destroyMutex,
                               &lockMutex,
                               &unlockMutex};

// lcms2 allocates through operator new, as the rest of the program does, so
// that a refusal is seen: lcms2 often turns one into a null result that names
// another cause ("Couldn't link the profiles"). Each block keeps its size
// in front, for realloc.
constexpr std::size_t kHeader = alignof(std::max_align_t);
// lcms2's own ceiling: larger requests come from damaged profiles, not from
// memory running short.
constexpr std::size_t kLargest = std::size_t{512} << 20;

// lcms2 uses some small blocks unchecked (a copied matrix stage, for one) and
// crashes when they are refused. Those come from here instead; the refusal
// still counts, so the work is given up with a reason, and everything made
// with such a block goes with it, which empties the reserve again. Kept
// small: it counts against an address-space limit like any other memory.
class Reserve {
public:
    void* take(std::size_t size) {
        size = (size + kHeader - 1) / kHeader * kHeader;
        if (size > kLargestBlock) return nullptr;
        std::lock_guard lock(mutex_);
        if (size > sizeof bytes_ - top_) return nullptr;
        ++live_;
        return bytes_ + std::exchange(top_, top_ + size);
    }
    bool owns(const void* block) const {
        const std::less<const void*> before;  // ordered even for pointers into other blocks
        return !before(block, bytes_) && before(block, bytes_ + sizeof bytes_);
    }
    void give() {
        std::lock_guard lock(mutex_);
        if (--live_ == 0) top_ = 0;
    }

private:
    static constexpr std::size_t kLargestBlock = std::size_t{4} << 10;
    alignas(std::max_align_t) unsigned char bytes_[std::size_t{32} << 10];
    std::size_t top_ = 0, live_ = 0;
    std::mutex mutex_;
};
Reserve gReserve;

void* allocate(cmsContext context, cmsUInt32Number size) {
    if (size > kLargest) return nullptr;
    auto* block = static_cast<unsigned char*>(::operator new(kHeader + size, std::nothrow));
    if (!block) {
        ++gRefusals;
        Context::noteRefusal(context);
        block = static_cast<unsigned char*>(gReserve.take(kHeader + size));
        if (!block) return nullptr;
    }
    std::memcpy(block, &size, sizeof size);
    return block + kHeader;
}
void release(cmsContext, void* memory) {
    if (!memory) return;
    unsigned char* block = static_cast<unsigned char*>(memory) - kHeader;
    if (gReserve.owns(block))
        gReserve.give();
    else
        ::operator delete(block);
}
void* reallocate(cmsContext context, void* memory, cmsUInt32Number size) {
    if (!memory) return allocate(context, size);
    void* moved = allocate(context, size);
    if (!moved) return nullptr;
    cmsUInt32Number old;
    std::memcpy(&old, static_cast<unsigned char*>(memory) - kHeader, sizeof old);
    std::memcpy(moved, memory, std::min(old, size));
    release(context, memory);
    return moved;
}

cmsPluginMemHandler gMemoryPlugin = {
    {cmsPluginMagicNumber, 2060, cmsPluginMemHandlerSig, &gMutexPlugin.base},
    &allocate,
    &release,
    &reallocate,
    nullptr,
    nullptr,
    nullptr};

}  // namespace

Context::Context() {
    // While the context is made lcms2 passes a stand-in without our sink:
    // only the process-wide count sees a refusal then.
    const unsigned refusals = gRefusals.load();
    context_ = cmsCreateContext(&gMemoryPlugin, &sink_);
    if (context_ && gRefusals.load() != refusals) {
        cmsDeleteContext(context_);  // it would keep reserve blocks for its whole life
        context_ = nullptr;
    }
    // Without a context lcms2 would fall back to its process-wide one, whose
    // errors and refusals nobody hears.
    if (!context_) throw std::bad_alloc();
    cmsSetLogErrorHandlerTHR(context_, &Context::onError);
}

Context::~Context() {
    if (context_) cmsDeleteContext(context_);
}

std::string Context::lastError() const {
    std::lock_guard lock(sink_.mutex);
    return sink_.lastError;
}

void Context::noteRefusal(cmsContext context) {
    if (auto* sink = static_cast<Sink*>(cmsGetContextUserData(context))) {
        ++sink->refused;
        ++sink->count;
    }
}

void Context::onError(cmsContext context, cmsUInt32Number /*code*/, const char* text) {
    auto* sink = static_cast<Sink*>(cmsGetContextUserData(context));
    if (!sink) return;
    ++sink->count;
    std::lock_guard lock(sink->mutex);
    // Called from C: nothing may be thrown back through it.
    try {
        sink->lastError = text ? text : "lcms2 error";
    } catch (const std::bad_alloc&) {
        sink->lastError.clear();
    }
}

std::string wideToUtf8(const wchar_t* text, std::size_t length) {
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        auto c = static_cast<std::uint32_t>(text[i]);
        if (c == 0) break;
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string profileDescription(cmsHPROFILE profile) {
    const cmsUInt32Number needed =
        cmsGetProfileInfo(profile, cmsInfoDescription, "en", "US", nullptr, 0);
    if (needed == 0) return {};
    std::vector<wchar_t> buffer(needed / sizeof(wchar_t) + 1, L'\0');
    cmsGetProfileInfo(profile, cmsInfoDescription, "en", "US", buffer.data(),
                      static_cast<cmsUInt32Number>(buffer.size() * sizeof(wchar_t)));
    return wideToUtf8(buffer.data(), buffer.size());
}

}  // namespace platform::icc
