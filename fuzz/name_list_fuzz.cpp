// Fuzzes the list splitter against a plain split of the whole text, and its word on names past
// the limit.
// Input: 1 byte choosing the name limit, 1 byte the size of each read, then the list's text.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "name_list.h"

namespace {

// Every name of the whole text, the limit aside.
std::vector<std::string> reference(std::string text) {
    text = text.substr(0, text.find('\0'));
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find('\n', start), text.size());
        std::string name = text.substr(start, end - start);
        if (!name.empty() && name.back() == '\r') name.pop_back();
        if (!name.empty()) names.push_back(name);
        start = end + 1;
    }
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t max_names = data[0] < 128 ? data[0] % 8 : 512;
    const size_t chunk = static_cast<size_t>(data[1]) + 1;
    const std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);

    ostrel::NameSplitter s;
    s.max_names = max_names;
    for (size_t at = 0; at < text.size() && !s.done; at += chunk)
        ostrel::feed_names(s, text.data() + at, std::min(chunk, text.size() - at));
    ostrel::finish_names(s);

    FUZZ_CHECK(s.names.size() <= max_names);
    for (const std::string& name : s.names) {
        FUZZ_CHECK(!name.empty());
        FUZZ_CHECK(name.find('\n') == std::string::npos && name.find('\0') == std::string::npos);
    }
    std::vector<std::string> all = reference(text);
    FUZZ_CHECK(s.more == (all.size() > max_names && max_names > 0));
    if (all.size() > max_names) all.resize(max_names);
    FUZZ_CHECK(s.names == all);  // same names, same order
    return 0;
}
