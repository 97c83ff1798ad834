// The core for the web page: the worker answers the core's reads from the user's File, and gets
// back, as JSON, the plan and the very words the command line would print.
#include <emscripten.h>

#include <string>

#include "repair_decision.h"
#include "report_text.h"

namespace {

// Copies `count` bytes at `offset` of the file in hand into the heap at `into`; 1 on success.
EM_JS(int, read_from_file, (double offset, uint8_t* into, double count), {
    return Module.readAt(offset, into, count) ? 1 : 0;
});

class FileSource : public ostrel::ByteSource {
public:
    bool read_at(uint64_t offset, uint8_t* buf, size_t count) override {
        return read_from_file(static_cast<double>(offset), buf, static_cast<double>(count)) == 1;
    }
};

std::string quoted(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string q = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            q += '\\';
            q += static_cast<char>(c);
        } else if (c < 0x20) {
            q += "\\u00";
            q += kHex[c >> 4];
            q += kHex[c & 0xF];
        } else {
            q += static_cast<char>(c);
        }
    }
    return q + "\"";
}

std::string line(ostrel::Outcome outcome, const std::string& path) {
    std::string text = ostrel::report_line(outcome, path);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return quoted(text);
}

}  // namespace

// Checks the file of `length` bytes that Module.readAt reads, reported as `path`. The result
// lives until the next call.
extern "C" EMSCRIPTEN_KEEPALIVE const char* ostrel_check(double length, const char* path) {
    static std::string json;
    FileSource source;
    const ostrel::RepairPlan plan = ostrel::plan_repair(source, static_cast<uint64_t>(length));
    const ostrel::Outcome outcome = ostrel::outcome_of(plan);
    static const char* const kVerdicts[] = {"failed", "none", "cutshort", "toolarge", "correct", "fix"};
    json = "{\"wave\":" + std::string(plan.wave_form ? "true" : "false");
    json += ",\"verdict\":\"" + std::string(kVerdicts[static_cast<int>(plan.verdict)]) + "\"";
    json += ",\"empty\":" + std::string(length == 0 ? "true" : "false");
    json += ",\"form\":" + quoted(plan.form) + ",\"tag\":" + std::to_string(plan.format.tag);
    // A stored size that counts more than the file holds is a writer's placeholder, not a length.
    json += ",\"placeholder\":" + std::string(plan.stored_size > plan.data_length ? "true" : "false");
    json += ",\"needsFix\":" + std::string(outcome == ostrel::Outcome::NeedsFix ? "true" : "false");
    json += ",\"report\":" + line(outcome, path) + ",\"fixed\":" + line(ostrel::Outcome::Fixed, path);
    json += ",\"unable\":" + line(ostrel::Outcome::WriteFailed, path);
    json += ",\"detail\":[";
    if (plan.verdict != ostrel::Verdict::ReadFailed) {
        const auto lines = ostrel::detail_lines(plan, path);
        for (size_t k = 0; k < lines.size(); ++k) json += (k ? "," : "") + quoted(lines[k]);
    }
    json += "],\"msBefore\":" + std::to_string(ostrel::audio_millis(plan, plan.stored_size));
    json += ",\"msAfter\":" + std::to_string(ostrel::audio_millis(plan, plan.new_size)) + ",\"writes\":[";
    for (size_t k = 0; k < plan.write_count; ++k) {
        const ostrel::Write& w = plan.writes[k];
        json += std::string(k ? "," : "") + "{\"offset\":" + std::to_string(w.offset) + ",\"bytes\":[";
        for (size_t b = 0; b < w.count; ++b) json += (b ? "," : "") + std::to_string(w.bytes[b]);
        json += "]}";
    }
    json += "]}";
    return json.c_str();
}
