// Checks and repairs the data chunk size of one WAVE file, and the byte codec it uses.
#pragma once

#include "byte_codec.h"

// Checks the file at wavePath, rewrites its data size in place when the file's structure shows
// it is wrong, and prints exactly one report line, flushed. Never ends the process.
void FIX_SIZE(const char* wavePath);
