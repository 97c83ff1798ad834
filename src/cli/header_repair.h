// Checks and repairs the data chunk size of one WAVE file, and the byte codec it uses.
#pragma once

#include "byte_codec.h"
#include "file_io.h"
#include "repair_decision.h"
#include "report_text.h"

using ostrel::Outcome;

// Repair writes what the file's structure shows is wrong; Check opens the file for reading only
// and reports what a repair would do.
enum class Mode { Repair, Check };

struct CheckOptions {
    Mode mode = Mode::Repair;
    bool verbose = false;    // after the report line, what was found and what changed
    bool only_wave = false;  // in a folder: a file that is not a WAVE form gets no report
};

// Why a file's audio may still be on the card, where --recover reads it, from the least sure to
// the surest: a crashed take met on a card's file system, a take that holds nothing past its
// header, a take of 0 bytes or a card itself.
enum class Hint { None, OnCardVolume, EndsAtHeader, LostOrCard };

struct FileResult {
    Outcome outcome = Outcome::NotFound;
    bool reported = true;  // false for a file left alone, unreported, in a folder
    int report_error = 0;  // errno when the report line could not be written, else 0
    bool empty = false;  // 0 bytes, reported or not
    Hint hint = Hint::None;
};

// True when the file at `path` begins as a RIFF, RF64 or BW64 WAVE file; a list never does.
bool is_wave_file(const char* path);

// Checks the file at wavePath, rewrites its sizes in place when the file's structure shows they
// are wrong, and prints exactly one report line (and with -v its detail), flushed. A path that
// names something other than a file (`kind` Other, or a Folder that could not be read) is
// reported as not found without being opened. Never ends the process.
FileResult FIX_SIZE(const char* wavePath, const CheckOptions& options = {},
                    ostrel::io::Kind kind = ostrel::io::Kind::File);

// Repairs a file the tool has just written and holds open for reading and writing, as FIX_SIZE
// does, printing nothing; `plan` gets what the core saw.
Outcome repair_open(ostrel::io::File& file, uint64_t length, ostrel::RepairPlan& plan);
