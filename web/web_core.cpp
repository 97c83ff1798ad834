// The core for the web page: the worker answers the core's reads from the user's File, and gets
// back, as JSON, the plan and the very words the command line would print; for a card image,
// each lost take as pieces of the image and the few bytes the repair writes.
#include <emscripten.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "lost_takes.h"
#include "take_words.h"
#include "repair_decision.h"
#include "report_text.h"

namespace {

// Copies `count` bytes at `offset` of the file in hand into the heap at `into`; 1 on success. The
// worker answers at once, or streams the bytes while the core waits, its stack put aside.
EM_JS(int, read_from_file, (double offset, uint8_t* into, double count), {
    return Asyncify.handleSleep((wakeUp) => Module.readAt(offset, into, count, (ok) => wakeUp(ok ? 1 : 0)));
});

// Posts the line the command line would show, and the share of the whole job done, for the bar.
EM_JS(void, post_progress, (const char* line, double fraction), {
    Module.progress(UTF8ToString(line), fraction);
});

// How far the card image has come, told to the worker at most four times a second, across both
// of its calls.
class PageProgress : public ostrel::card::Progress {
public:
    void report(const ostrel::card::ProgressReport& report) override {
        if (words_.update(report, seconds())) post_progress(words_.text.c_str(), words_.fraction);
    }
    void pause() { words_.pause(seconds()); }

private:
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    }

    ostrel::card::ProgressText words_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

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

// The type the repaired copy is played as, or empty where no browser plays its form (RF64, BW64);
// and the name its copy is given past a name of no audio file.
std::string media_type(const ostrel::RepairPlan& p) {
    switch (p.kind) {
        case ostrel::Form::Aiff: return "audio/aiff";
        case ostrel::Form::Wave64: return "audio/x-w64";
        case ostrel::Form::Caf: return "audio/x-caf";
        case ostrel::Form::Wave: break;
    }
    return p.rf64 ? "" : "audio/wav; codecs=\"" + std::to_string(p.format.tag) + "\"";
}
const char* extension(const ostrel::RepairPlan& p) {
    static const char* const kExtensions[] = {".wav", ".aif", ".w64", ".caf"};
    return kExtensions[static_cast<int>(p.kind)];
}

std::string line(ostrel::Outcome outcome, const std::string& path) {
    std::string text = ostrel::report_line(outcome, path);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return quoted(text);
}

// A recovered take as the page builds its Blob: ranges of the image, and literal bytes where a
// header was lent or the repair writes.
struct Piece {
    uint64_t at = 0, length = 0;  // a range of the image, when `bytes` is empty
    std::vector<uint8_t> bytes;
    uint64_t size() const { return bytes.empty() ? length : bytes.size(); }
};

// Puts `count` bytes at `offset` of the take over whatever pieces lie there.
void overlay(std::vector<Piece>& pieces, uint64_t offset, const uint8_t* bytes, size_t count) {
    std::vector<Piece> out;
    uint64_t pos = 0;
    for (Piece& p : pieces) {
        const uint64_t size = p.size(), from = offset > pos ? offset - pos : 0;
        const uint64_t to = offset + count < pos + size ? offset + count - pos : size;
        if (offset >= pos + size || offset + count <= pos) {
            out.push_back(std::move(p));
        } else if (!p.bytes.empty()) {
            std::copy(bytes + (pos + from - offset), bytes + (pos + to - offset), p.bytes.begin() + static_cast<long>(from));
            out.push_back(std::move(p));
        } else {
            if (from > 0) out.push_back({p.at, from, {}});
            out.push_back({0, 0, std::vector<uint8_t>(bytes + (pos + from - offset), bytes + (pos + to - offset))});
            if (to < size) out.push_back({p.at + to, size - to, {}});
        }
        pos += size;
    }
    pieces = std::move(out);
}

std::string take_json(ostrel::ByteSource& source, const ostrel::card::Findings& f, const ostrel::card::LostTake& t) {
    namespace card = ostrel::card;
    const card::Volume& v = f.card.volumes[t.volume].volume;
    card::TakeSource take(source, v, t);
    const ostrel::RepairPlan plan = ostrel::plan_repair(take, t.bytes);
    std::vector<Piece> pieces;
    if (!t.header.empty()) pieces.push_back({0, 0, t.header});
    for (const card::Span& s : card::card_spans(v, t)) pieces.push_back({s.offset, s.length, {}});
    for (size_t k = 0; k < plan.write_count; ++k) overlay(pieces, plan.writes[k].offset, plan.writes[k].bytes, plan.writes[k].count);
    std::string json = "{\"name\":" + quoted(t.name) + ",\"where\":" + quoted(card::take_where(f, t));
    json += ",\"guess\":" + quoted(t.format_from) + ",\"ms\":" + std::to_string(ostrel::audio_millis(plan, plan.new_size));
    json += std::string(",\"older\":") + (t.older ? "true" : "false") + ",\"noformat\":" + (t.no_format() ? "true" : "false");
    json += ",\"tag\":" + std::to_string(plan.format.tag) + ",\"form\":" + quoted(plan.form);
    json += ",\"codec\":" + quoted(ostrel::format_name(plan.format)) + ",\"detail\":[";
    std::vector<std::string> lines = card::take_detail(f, t);
    for (const std::string& line : ostrel::detail_lines(plan, t.name)) lines.push_back(line);
    for (size_t k = 0; k < lines.size(); ++k) json += (k ? "," : "") + quoted(lines[k]);
    json += "],\"pieces\":[";
    for (size_t k = 0; k < pieces.size(); ++k) {
        json += k ? ",{" : "{";
        if (pieces[k].bytes.empty()) {
            json += "\"at\":" + std::to_string(pieces[k].at) + ",\"length\":" + std::to_string(pieces[k].length) + "}";
            continue;
        }
        json += "\"bytes\":[";
        for (size_t b = 0; b < pieces[k].bytes.size(); ++b) json += (b ? "," : "") + std::to_string(pieces[k].bytes[b]);
        json += "]}";
    }
    return json + "]}";
}

}  // namespace

namespace {

ostrel::card::CardReading reading;   // what ostrel_recover_first read, for ostrel_recover_rest
ostrel::card::Findings first_found;  // the takes it gave
PageProgress progress;
// The card's free clusters are read 32 MiB at a time: a File's reads cost the less a byte the
// larger they are.
const ostrel::card::FindOptions kFind{size_t{32} << 20, {}, {}, &progress};

std::string findings_json(FileSource& source, const ostrel::card::Findings& f,
                          const std::vector<const ostrel::card::LostTake*>& takes, const std::string& withdrawn) {
    std::string json = "{\"card\":" + std::string(f.card.volumes.empty() ? "false" : "true");
    json += ",\"error\":" + quoted(f.card.error) + ",\"deleted\":" + std::to_string(f.deleted);
    json += ",\"withdrawn\":[" + withdrawn + "],\"takes\":[";
    for (size_t k = 0; k < takes.size(); ++k) json += (k ? "," : "") + take_json(source, f, *takes[k]);
    return json + "]}";
}

}  // namespace

// Reads the card image of `length` bytes that Module.readAt reads where the recorder was writing,
// and gives the takes found there; ostrel_recover_rest then reads the rest.
extern "C" EMSCRIPTEN_KEEPALIVE const char* ostrel_recover_first(double length) {
    static std::string json;
    FileSource source;
    progress = {};
    first_found = ostrel::card::find_hot_takes(source, static_cast<uint64_t>(length), kFind, reading);
    std::vector<const ostrel::card::LostTake*> takes;
    for (const ostrel::card::LostTake& t : first_found.takes) takes.push_back(&t);
    json = findings_json(source, first_found, takes, "");
    progress.pause();
    return json.c_str();
}

// The rest of the card image: the takes it gives that ostrel_recover_first did not, and the
// names of any it gave that the whole card gives otherwise.
extern "C" EMSCRIPTEN_KEEPALIVE const char* ostrel_recover_rest() {
    static std::string json;
    FileSource source;
    const ostrel::card::Findings f = ostrel::card::find_all_takes(source, kFind, reading, std::move(first_found.card));
    std::vector<const ostrel::card::LostTake*> rest;
    for (const ostrel::card::LostTake& t : f.takes) {
        bool known = false;
        for (const ostrel::card::LostTake& e : first_found.takes) known = known || ostrel::card::same_take(e, t);
        if (!known) rest.push_back(&t);
    }
    std::string withdrawn;
    for (const ostrel::card::LostTake& e : first_found.takes) {
        bool kept = false;
        for (const ostrel::card::LostTake& t : f.takes) kept = kept || ostrel::card::same_take(e, t);
        if (!kept) withdrawn += (withdrawn.empty() ? "" : ",") + quoted(e.name);
    }
    json = findings_json(source, f, rest, withdrawn);
    reading = {}, first_found = {};
    return json.c_str();
}

// Checks the file of `length` bytes that Module.readAt reads, reported as `path`. The result
// lives until the next call.
extern "C" EMSCRIPTEN_KEEPALIVE const char* ostrel_check(double length, const char* path) {
    static std::string json;
    FileSource source;
    const ostrel::RepairPlan plan = ostrel::plan_repair(source, static_cast<uint64_t>(length));
    const ostrel::Outcome outcome = ostrel::outcome_of(plan);
    static const char* const kVerdicts[] = {"failed", "none", "cutshort", "toolarge", "correct", "fix"};
    json = "{\"wave\":" + std::string(plan.known_form ? "true" : "false");
    json += ",\"verdict\":\"" + std::string(kVerdicts[static_cast<int>(plan.verdict)]) + "\"";
    json += ",\"empty\":" + std::string(length == 0 ? "true" : "false");
    json += ",\"form\":" + quoted(plan.form) + ",\"tag\":" + std::to_string(plan.format.tag);
    json += ",\"codec\":" + quoted(ostrel::format_name(plan.format));
    // What a writer leaves until it knows the length: a data size of 0 or all ones, or a form
    // size that holds no chunk. Any other size past the file's end is a length the file lost.
    const bool placeholder = plan.stored_size == 0 || plan.stored_size == ostrel::kMaxFieldValue ||
                             plan.stored_size == UINT64_MAX ||
                             (plan.kind != ostrel::Form::Caf && plan.form_size <= 8);
    json += ",\"placeholder\":" + std::string(placeholder ? "true" : "false");
    json += ",\"beyondFile\":" + std::string(!placeholder && plan.stored_size > plan.data_length ? "true" : "false");
    // The form's name where it is not WAVE's, and the media type a player is asked for.
    json += ",\"formName\":" + quoted(plan.kind == ostrel::Form::Wave ? "" : ostrel::form_name(plan));
    json += ",\"play\":" + quoted(media_type(plan));
    json += ",\"ext\":" + quoted(extension(plan));
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
