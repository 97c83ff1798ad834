// Whether the Windows build waits before it ends: a console that Explorer opened for it, to run
// takes dropped on the .exe, closes with its only process, and the reports with it.
#pragma once

namespace ostrel {

inline bool waits_for_enter(unsigned long console_processes, bool input_is_console) {
    return console_processes == 1 && input_is_console;
}

}  // namespace ostrel
