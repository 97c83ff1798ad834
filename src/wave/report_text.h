// The words the tool says about one file: its report line, and with -v what was found and what
// changed. Pure, so that every front end says exactly the same.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "repair_decision.h"

namespace ostrel {

enum class Outcome { NotFound, BeingWritten, NoDataBlock, CutShort, TooLarge, Correct, Fixed, NeedsFix, WriteFailed };

// The outcome of a plan that is not carried out (Fix becomes NeedsFix).
Outcome outcome_of(const RepairPlan& plan);

// How long `bytes` of the plan's audio play, in milliseconds, or -1 when the format does not tell.
int64_t audio_millis(const RepairPlan& plan, uint64_t bytes);

// "PCM", "MS ADPCM", "format 0x0050": the name of the fmt chunk's format tag.
std::string format_name(const AudioFormat& format);

// "1:02:03.456", "3:12.500": hours only when there are any; empty for -1.
std::string clock_text(int64_t ms);

// "RIFF", "RF64", "AIFF", "AIFF-C", "Wave64", "CAF": how the detail names the form.
std::string form_name(const RepairPlan& plan);

// The report line for `path`, with its line feed.
std::string report_line(Outcome outcome, const std::string& path);

// What -v adds after the report line of a file the core looked at, without the leading spaces:
// the form and format, the data size and the audio it counts before and after, the form size,
// the bytes left uncounted, and each write with the bytes it replaces.
std::vector<std::string> detail_lines(const RepairPlan& plan, const std::string& path);

}  // namespace ostrel
