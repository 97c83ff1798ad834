#include "name_list.h"

#include <utility>

namespace ostrel {

namespace {

void end_name(NameSplitter& s) {
    if (!s.partial.empty()) {
        s.names.push_back(std::move(s.partial));
        s.partial.clear();
    }
    if (s.names.size() >= s.max_names) s.done = true;
}

}  // namespace

void feed_names(NameSplitter& s, const char* bytes, size_t count) {
    if (s.max_names == 0) s.done = true;
    const char* p = bytes;
    const char* const end = bytes + count;
    while (!s.done && p < end) {
        const char* stop = p;
        while (stop < end && *stop != '\n' && *stop != '\0') ++stop;
        s.partial.append(p, static_cast<size_t>(stop - p));
        if (stop == end) return;
        if (*stop == '\n' && s.drop_cr_before_lf && !s.partial.empty() && s.partial.back() == '\r')
            s.partial.pop_back();
        end_name(s);
        if (*stop == '\0') s.done = true;
        p = stop + 1;
    }
}

void finish_names(NameSplitter& s) {
    if (!s.done && s.max_names > 0) end_name(s);
    s.partial.clear();
    s.done = true;
}

}  // namespace ostrel
