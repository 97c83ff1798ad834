#include "name_list.h"

#include <utility>

namespace ostrel {

namespace {

void end_name(NameSplitter& s) {
    if (!s.partial.empty() && s.partial.back() == '\r') s.partial.pop_back();
    if (s.partial.empty()) return;
    if (s.names.size() < s.max_names) {
        s.names.push_back(std::move(s.partial));
    } else {
        s.more = s.done = true;
    }
    s.partial.clear();
}

// Editors on Windows start UTF-8 text with EF BB BF, which no name is meant to hold.
void drop_byte_order_mark(NameSplitter& s, bool name_ended) {
    if (!s.at_start || (s.partial.size() < 3 && !name_ended)) return;
    if (s.partial.compare(0, 3, "\xEF\xBB\xBF") == 0) s.partial.erase(0, 3);
    s.at_start = false;
}

// Past the limit, a name exists as soon as it holds a byte that is not its line end's CR.
bool name_past_limit(const NameSplitter& s) {
    return s.names.size() >= s.max_names && (s.partial.size() > 1 || (s.partial.size() == 1 && s.partial[0] != '\r'));
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
        drop_byte_order_mark(s, stop < end);
        if (name_past_limit(s)) {
            s.more = s.done = true;
            return;
        }
        if (stop == end) return;
        end_name(s);
        if (*stop == '\0') s.done = true;
        p = stop + 1;
    }
}

void finish_names(NameSplitter& s) {
    if (!s.done) {
        drop_byte_order_mark(s, true);
        end_name(s);
    }
    s.partial.clear();
    s.done = true;
}

}  // namespace ostrel
