// Splitting a list's text into names, whichever way the text is cut into reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "name_list.h"

namespace {

ostrel::NameSplitter split(const std::string& text, size_t max_names, size_t chunk) {
    ostrel::NameSplitter s;
    s.max_names = max_names;
    for (size_t at = 0; at < text.size() && !s.done; at += chunk)
        ostrel::feed_names(s, text.data() + at, std::min(chunk, text.size() - at));
    ostrel::finish_names(s);
    return s;
}

struct SplitCase {
    const char* what;
    std::string text;
    size_t max_names;
    std::vector<std::string> names;
    bool more = false;  // names past the limit exist
};

TEST(NameSplitter, Table) {
    const SplitCase cases[] = {
        {"plain", "a.wav\nb.wav\n", 512, {"a.wav", "b.wav"}},
        {"no final line feed", "a.wav\nb.wav", 512, {"a.wav", "b.wav"}},
        {"blank and leading lines", "\n\na\n\n\nb\n\n", 512, {"a", "b"}},
        {"spaces, tabs and all but the last CR are name bytes", "a\r\n \n\tb \r\r\n\r\nc\r", 512, {"a", " ", "\tb \r", "c"}},
        {"a byte-order mark at the start only", "\xEF\xBB\xBF" "a\n\xEF\xBB\xBF" "b", 512, {"a", "\xEF\xBB\xBF" "b"}},
        {"a byte-order mark alone", "\xEF\xBB\xBF\nb\n", 512, {"b"}},
        {"a short text that is no mark", "\xEF\xBB", 512, {"\xEF\xBB"}},
        {"text ends at a zero byte", std::string("a\nb\0c\nd\n", 8), 512, {"a", "b"}},
        {"zero byte right after a line feed", std::string("a\n\0b", 4), 512, {"a"}},
        {"limit drops the rest", "a\nb\nc\nd", 2, {"a", "b"}, true},
        {"limit with a last name still open", "a\nbb", 2, {"a", "bb"}},
        {"only empty lines past the limit", "a\nb\n\n\r\n\r", 2, {"a", "b"}},
        {"a CR name past the limit", "a\nb\n\r\r\n", 2, {"a", "b"}, true},
        {"no limit", "a\nb", 0, {}},
        {"empty", "", 512, {}},
        {"line feeds only", "\n\n\n", 512, {}},
        {"long name kept whole", std::string(1000, 'n') + "\nx", 512, {std::string(1000, 'n'), "x"}},
    };
    for (const SplitCase& c : cases)
        for (size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, c.text.size() + 1}) {
            const ostrel::NameSplitter s = split(c.text, c.max_names, chunk);
            EXPECT_EQ(c.names, s.names) << c.what << ", reads of " << chunk;
            EXPECT_EQ(c.more, s.more) << c.what << ", reads of " << chunk;
        }
}

}  // namespace
