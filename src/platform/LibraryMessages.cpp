#include "platform/LibraryMessages.h"

#include <dlfcn.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
// jpeglib.h needs size_t and FILE first.
#include <jpeglib.h>
// After jpeglib.h: the message codes.
#include <jerror.h>

#include "platform/Log.h"

namespace {

using StdError = jpeg_error_mgr* (*)(jpeg_error_mgr*);

StdError LibraryStdError() {
    static const auto real = reinterpret_cast<StdError>(dlsym(RTLD_NEXT, "jpeg_std_error"));
    return real;
}

thread_local unsigned tDataEnds = 0;

void LogJpegMessage(j_common_ptr info) {
    if (info->err->msg_code == JWRN_JPEG_EOF) tDataEnds++;
    char text[JMSG_LENGTH_MAX] = {};
    info->err->format_message(info, text);
    platform::log("libjpeg: %s", text);
}

}  // namespace

extern "C" jpeg_error_mgr* jpeg_std_error(jpeg_error_mgr* err) {
    const StdError real = LibraryStdError();
    if (!real) {
        // Cannot be: the library that called this defines it.
        platform::log("libjpeg: its jpeg_std_error cannot be found");
        std::abort();
    }
    jpeg_error_mgr* made = real(err);
    made->output_message = LogJpegMessage;
    return made;
}

namespace platform {

bool libraryMessagesGoToLog() { return LibraryStdError() != nullptr; }

unsigned jpegDataEndsOnThisThread() { return tDataEnds; }

}  // namespace platform
