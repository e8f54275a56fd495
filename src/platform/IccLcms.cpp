#include "platform/IccLcms.h"

#include <vector>

namespace platform::icc {

Context::Context() {
    context_ = cmsCreateContext(nullptr, &sink_);
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
    std::lock_guard lock(sink->mutex);
    sink->lastError = text ? text : "lcms2 error";
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
