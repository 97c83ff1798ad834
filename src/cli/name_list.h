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
    size_t max_names = 0;  // names after this many are not kept
    bool done = false;     // a name past the limit, or a zero byte, ended the text
    bool more = false;     // a name past the limit exists
    bool at_start = true;  // nothing yet: a UTF-8 byte-order mark may come
};

// Names are the maximal runs of bytes other than line feed, less one carriage return at the end
// (the line end of a list saved on Windows) and a byte-order mark at the start of the text; the
// text ends at its first zero byte.
void feed_names(NameSplitter& s, const char* bytes, size_t count);
// Call at the end of the text: a last name needs no line feed after it.
void finish_names(NameSplitter& s);

}  // namespace ostrel
