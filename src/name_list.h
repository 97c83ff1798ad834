// Splits the text of a list file into names, fed piece by piece so that a list of any size,
// or one arriving through a pipe, costs only the names that are kept.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace ostrel {

struct NameSplitter {
    std::vector<std::string> names;
    std::string partial;   // bytes of a name whose line feed has not arrived yet
    size_t max_names = 0;  // names after this many are dropped
    bool done = false;     // the limit is reached or a zero byte ended the text
    bool drop_cr_before_lf = false;  // one carriage return before each line feed is no part of a name
};

// Names are the maximal runs of bytes other than line feed; the text ends at its first zero byte.
void feed_names(NameSplitter& s, const char* bytes, size_t count);
// Call at the end of the text: a last name needs no line feed after it.
void finish_names(NameSplitter& s);

}  // namespace ostrel
