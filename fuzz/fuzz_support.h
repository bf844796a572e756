// Shared set-up of the fuzz targets: a quiet console and a settings record with every field used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "message/placeholders.h"

// Sends the console's output to /dev/null, so that the log lines of each input cost nothing.
void QuietConsole();
// Fills Settings with values for every placeholder, one of them holding a placeholder itself.
void FillFuzzSettings();
// A request-values record with every slot filled, as the charge fills it.
RequestValues* MakeFuzzRequestValues();
// A private folder under MM9_FUZZ_SCRATCH when set, else on a memory file system (or in the
// temporary folder).
const std::string& FuzzFolder();
