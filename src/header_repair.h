// Checks and repairs the data chunk size of one WAVE file, and the byte codec it uses.
#pragma once

#include "byte_codec.h"

enum class Outcome { NotFound, NoDataBlock, CutShort, TooLarge, Correct, Fixed, NeedsFix, WriteFailed };

// Repair writes what the file's structure shows is wrong; Check opens the file for reading only
// and reports what a repair would do.
enum class Mode { Repair, Check };

struct FileResult {
    Outcome outcome = Outcome::NotFound;
    int report_error = 0;  // errno when the report line could not be written, else 0
};

// Checks the file at wavePath, rewrites its sizes in place when the file's structure shows they
// are wrong, and prints exactly one report line, flushed. Never ends the process.
FileResult FIX_SIZE(const char* wavePath, Mode mode = Mode::Repair);
