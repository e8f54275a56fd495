#include "platform/IccLcms.h"

#include <lcms2_plugin.h>

#include <new>
#include <vector>

namespace platform::icc {

namespace {

// lcms2's own mutexes are made without checking the allocation: short of
// memory it initialises a null mutex and crashes. These fall back to one
// shared mutex, which still serialises every profile left without its own.
std::mutex gSharedMutex;

void* createMutex(cmsContext) {
    auto* made = new (std::nothrow) std::mutex;
    return made ? made : &gSharedMutex;
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

}  // namespace

Context::Context() {
    context_ = cmsCreateContext(&gMutexPlugin, &sink_);
    if (context_) cmsSetLogErrorHandlerTHR(context_, &Context::onError);
}

Context::~Context() {
    if (context_) cmsDeleteContext(context_);
}

std::string Context::lastError() const {
    std::lock_guard lock(sink_.mutex);
    return sink_.lastError;
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
