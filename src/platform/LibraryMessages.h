// Messages that libraries print themselves go to the program's log instead
// of the terminal: libjpeg's warnings ("Corrupt JPEG data: ...") from every
// decoder in the process, LibRaw's included, whose error managers this
// program does not make.
//
// libjpeg's jpeg_std_error is defined here over the library's own, so that
// every error manager it makes writes its messages with platform::log.
#pragma once

namespace platform {

// Whether libjpeg's messages reach the log (false only when the library's
// own jpeg_std_error could not be found). Calling it also keeps the
// definition linked into every program that reads raw files.
bool libraryMessagesGoToLog();
// How many times libjpeg, on this thread, found its data ended before the
// picture did ("Premature end of JPEG file"): data cut short.
unsigned jpegDataEndsOnThisThread();

}  // namespace platform
