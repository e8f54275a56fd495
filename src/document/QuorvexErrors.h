// The application's error codes in "QuorvexErrorDomain" and their
// failure-reason texts. Plain functions over a constant table; thread-safe.
#pragma once

#include <optional>
#include <string>

#include "platform/Error.h"

enum QuorvexErrorCode : long {
    kQuorvexErrorExportFile = -1,
    kQuorvexErrorNoDecoder = -2,
    kQuorvexErrorDirectory = -4,
    kQuorvexErrorNotFileURL = -5,
    kQuorvexErrorNoPath = -6,
    kQuorvexErrorNoOutputStage = -7,
    kQuorvexErrorNoLinearBuffer = -9,
    kQuorvexErrorNoMemory = -10,
    kQuorvexErrorCreateDestination = -11,
    kQuorvexErrorFinalizeDestination = -12,
    kQuorvexErrorWriter = -13,
    kQuorvexErrorPresetName = -14,
    kQuorvexErrorNoRawSearchLocation = -15,
    kQuorvexErrorRawNameSuffix = -16,
    kQuorvexErrorRawFileNotFound = -17,
    // Our own: a Photo CD pack, which serves the browser's pictures only.
    kQuorvexErrorPhotoCDNotEditable = -18,
};

// The fixed text of a code; nullopt for codes without one (-3 and -8 are
// unused; -13 carries the writer's own text; unknown codes).
std::optional<std::string> quorvexErrorText(long code);

// An error in "QuorvexErrorDomain" with the code's text. `detail` fills the
// codes whose text names something: -1 appends it (the destination without
// its extension), -13 is it (the writer's text), -16 names it (the wanted
// name). For -17 use quorvexRawFileNotFoundError.
platform::Error quorvexError(long code, const std::string& detail = {});

// -17: the name searched for (the base name, or the whole name when the
// base-name rule gave none) and the search folder's path.
platform::Error quorvexRawFileNotFoundError(const std::string& name, const std::string& folderPath);
