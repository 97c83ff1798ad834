// Splitting a list's text into names, whichever way the text is cut into reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "name_list.h"

namespace {

std::vector<std::string> split(const std::string& text, size_t max_names, size_t chunk, bool drop_cr) {
    ostrel::NameSplitter s;
    s.max_names = max_names;
    s.drop_cr_before_lf = drop_cr;
    for (size_t at = 0; at < text.size() && !s.done; at += chunk)
        ostrel::feed_names(s, text.data() + at, std::min(chunk, text.size() - at));
    ostrel::finish_names(s);
    return s.names;
}

struct SplitCase {
    const char* what;
    std::string text;
    size_t max_names;
    std::vector<std::string> names;
    bool drop_cr = false;  // as on Windows
};

TEST(NameSplitter, Table) {
    const SplitCase cases[] = {
        {"plain", "a.wav\nb.wav\n", 512, {"a.wav", "b.wav"}},
        {"no final line feed", "a.wav\nb.wav", 512, {"a.wav", "b.wav"}},
        {"blank and leading lines", "\n\na\n\n\nb\n\n", 512, {"a", "b"}},
        {"CR, spaces and tabs are name bytes", "a\r\n \n\tb \r\n", 512, {"a\r", " ", "\tb \r"}},
        {"text ends at a zero byte", std::string("a\nb\0c\nd\n", 8), 512, {"a", "b"}},
        {"zero byte right after a line feed", std::string("a\n\0b", 4), 512, {"a"}},
        {"limit drops the rest", "a\nb\nc\nd", 2, {"a", "b"}},
        {"limit with a last name still open", "a\nbb", 2, {"a", "bb"}},
        {"no limit", "a\nb", 0, {}},
        {"empty", "", 512, {}},
        {"line feeds only", "\n\n\n", 512, {}},
        {"long name kept whole", std::string(1000, 'n') + "\nx", 512, {std::string(1000, 'n'), "x"}},
        {"Windows: one CR before each LF is dropped", "a\r\n\r\nb\r\r\nc\r", 512, {"a", "b\r", "c\r"}, true},
    };
    for (const SplitCase& c : cases)
        for (size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, c.text.size() + 1})
            EXPECT_EQ(c.names, split(c.text, c.max_names, chunk, c.drop_cr)) << c.what << ", reads of " << chunk;
}

}  // namespace
