// Small lcms2 helpers shared by the ICC files of the platform layer (not a public interface).
//
// icc::Context owns an lcms2 context with its own error sink, so that errors raised while one
// profile or transform is made are reported with that object and never through process-wide
// state. A context may be used from several threads; the sink is locked. lcms2 allocates through
// operator new; each refusal counts as an error of the context.
#pragma once

#include <lcms2.h>

#include <atomic>
#include <mutex>
#include <string>

namespace platform::icc {

class Context {
public:
    // Throws std::bad_alloc when lcms2 cannot make the context.
    Context();
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    cmsContext get() const { return context_; }
    // The last error lcms2 reported in this context; empty when none.
    std::string lastError() const;
    // Errors reported so far: a call that failed inside lcms2 (memory short) without saying so
    // in its result still counts here.
    unsigned errorCount() const { return sink_.count.load(); }
    // Allocations lcms2 was refused so far (each also counts as an error).
    unsigned refusedAllocations() const { return sink_.refused.load(); }
    // Counts a refused allocation in `context`'s sink, if it has one.
    static void noteRefusal(cmsContext context);

private:
    struct Sink {
        mutable std::mutex mutex;
        std::string lastError;
        std::atomic<unsigned> count{0};
        std::atomic<unsigned> refused{0};
    };
    static void onError(cmsContext context, cmsUInt32Number code, const char* text);

    Sink sink_;
    cmsContext context_ = nullptr;
};

// The profile's description ('desc' or 'mluc', English preferred) as UTF-8.
std::string profileDescription(cmsHPROFILE profile);

// Wide (UTF-32 on this platform) to UTF-8; invalid code points become U+FFFD.
std::string wideToUtf8(const wchar_t* text, std::size_t length);

}  // namespace platform::icc
