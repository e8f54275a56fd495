#pragma once

#include "document/MyDocument.h"
#include "platform/Error.h"

// Saves a document's settings to the catalog from the window's thread
// without freezing it: the save runs on a thread of its own and, when it takes
// a moment (another program holds the catalog's lock), the windows go on
// drawing, the notice of the wait among what they draw, while user input
// waits until the save is done. Call from the main thread only.
bool saveSettingsWhileDrawing(const MyDocument::Ptr& document, platform::Error& error);
