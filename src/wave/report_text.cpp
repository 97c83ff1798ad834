#include "report_text.h"

namespace ostrel {

namespace {

std::string with_path(const char* before, const std::string& path, const char* after) {
    return before + path + after + "\n";
}

std::string number(uint64_t n) { return std::to_string(static_cast<unsigned long long>(n)); }

}  // namespace

std::string format_name(const AudioFormat& f) {
    switch (f.tag) {
        case 1: return "PCM";
        case 3: return "float";
        case 6: return "A-law";
        case 7: return "mu-law";
        case 2: return "MS ADPCM";
        case 0x11: return "IMA ADPCM";
        case 0x31: return "GSM 6.10";
        case 0x55: return "MP3";
    }
    static const char kHex[] = "0123456789abcdef";
    std::string tag = "format 0x";
    for (int shift = 12; shift >= 0; shift -= 4) tag += kHex[(f.tag >> shift) & 0xF];
    return tag;
}

namespace {

// The words for each form: its name, its data chunk's and its form size's, its frame count's.
struct FormWords {
    const char* data;       // "data size 0 -> 600 bytes"
    const char* form_size;  // "RIFF size 8 -> 636", or none
    const char* count;      // "fact 0 -> 150 sample frames"
};

FormWords words_of(const RepairPlan& p) {
    switch (p.kind) {
        case Form::Aiff: return {"SSND size", "FORM size", "COMM numSampleFrames"};
        case Form::Wave64: return {"data size", "riff size", "fact"};
        case Form::Caf: return {"data size", nullptr, "fact"};
        case Form::Wave: break;
    }
    return {"data size", "RIFF size", "fact"};
}

}  // namespace

std::string form_name(const RepairPlan& p) {
    switch (p.kind) {
        case Form::Aiff: return p.form[3] == 'C' ? "AIFF-C" : "AIFF";
        case Form::Wave64: return "Wave64";
        case Form::Caf: return "CAF";
        case Form::Wave: break;
    }
    return p.form;
}

namespace {

// "RIFF, PCM 16-bit, 2 channels, 44100 Hz"; "AIFF-C, PCM (sowt) 16-bit, ..."
std::string form_and_format(const RepairPlan& p) {
    std::string line = form_name(p);
    const AudioFormat& f = p.format;
    if (!f.known) return line + ", no whole fmt chunk before the data";
    line += ", " + format_name(f);
    if (f.extensible) line += " (extensible)";
    if (p.coding[0] != '\0') line += std::string(" (") + p.coding + ")";
    if (f.bits > 0) line += " " + number(f.bits) + "-bit";
    line += ", " + number(f.channels) + (f.channels == 1 ? " channel, " : " channels, ");
    return line + number(f.rate) + " Hz";
}

// "1.000 s", or empty when the format does not tell.
std::string duration(const RepairPlan& p, uint64_t bytes) {
    const int64_t ms = audio_millis(p, bytes);
    if (ms < 0) return "";
    std::string frac = number(static_cast<uint64_t>(ms % 1000));
    frac.insert(0, 3 - frac.size(), '0');
    return number(static_cast<uint64_t>(ms / 1000)) + "." + frac + " s";
}

std::string bytes_hex(const uint8_t* bytes, size_t count) {
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (size_t k = 0; k < count; ++k) {
        if (k > 0) s += ' ';
        s += kHex[bytes[k] >> 4];
        s += kHex[bytes[k] & 0xF];
    }
    return s;
}

const char* proof_words(Proof proof) {
    switch (proof) {
        case Proof::FileLength: return "the file's length";
        case Proof::ChunksAfter: return "the chunks after the audio";
        case Proof::PadByte: return "its pad byte";
        case Proof::PartialFrame: return "a partial last frame or block";
        case Proof::None: break;
    }
    return "";
}

std::string data_line(const RepairPlan& p) {
    const std::string before = duration(p, p.stored_size);
    const std::string name = words_of(p).data;
    const uint64_t stored = p.kind == Form::Wave ? p.stored_size : p.stored_field;
    if (p.kind == Form::Caf && stored == UINT64_MAX && p.new_size == p.stored_size) {
        const std::string line = "data size -1, to the end of the file: " + number(p.new_size) + " bytes";
        return before.empty() ? line : line + " (" + before + ")";
    }
    if (p.new_size == p.stored_size && stored == p.new_size + p.field_extra) {
        std::string line = name + " " + number(stored) + " bytes";
        if (!before.empty()) line += " (" + before + ")";
        if (p.proof != Proof::None) line += std::string(", proven by ") + proof_words(p.proof);
        return line;
    }
    std::string line = name + " " + number(stored) + " -> " + number(p.new_size + p.field_extra) + " bytes";
    if (!before.empty()) line += " (" + before + " -> " + duration(p, p.new_size) + ")";
    return line;
}

std::string form_line(const RepairPlan& p) {
    const std::string name = p.rf64 ? std::string(p.form) + " size (ds64)" : words_of(p).form_size;
    if (p.promoted) return "RIFF size " + number(p.form_size) + " -> RF64 with ds64, size " + number(p.new_form_size);
    if (p.new_form_size == p.form_size) return name + " " + number(p.form_size);
    return name + " " + number(p.form_size) + " -> " + number(p.new_form_size);
}

std::string sample_count_line(const char* what, uint64_t before, uint64_t after, bool counts_fewer) {
    if (before != after) return std::string(what) + " " + number(before) + " -> " + number(after) + " sample frames";
    const std::string line = std::string(what) + " " + number(before) + " sample frames";
    return counts_fewer ? line + ", fewer than the data holds; kept, as its writer left it" : line;
}

// Bytes on disk that the data size leaves out, and why.
void add_uncounted(const RepairPlan& p, std::vector<std::string>& lines) {
    const uint64_t data_end = p.data_start + p.new_size;
    const bool chunks_follow = p.proof == Proof::ChunksAfter || p.proof == Proof::PadByte;
    if (!chunks_follow && p.audio_end > data_end) {
        const uint64_t left = p.audio_end - data_end;
        lines.push_back(number(left) + (left == 1 ? " byte" : " bytes") + " after the last whole " +
                        (block_codec(p.format) ? "block " : "frame ") + (left == 1 ? "is" : "are") + " not counted");
    }
    if (p.appended_at != 0)
        lines.push_back(number(p.appended_end - p.appended_at) + " bytes of chunks appended after the audio, at " +
                        number(p.appended_at) + ", are not counted");
    if (p.id3v1_tag) lines.push_back("an ID3v1 tag of 128 bytes at the end is not counted");
}

}  // namespace

// Whole frames (or blocks times their samples) over the rate, or bytes over the byte rate in
// other formats; rounded down to the millisecond.
int64_t audio_millis(const RepairPlan& p, uint64_t bytes) {
    const AudioFormat& f = p.format;
    if (!f.known) return -1;
    uint64_t units = bytes, per_second = f.byte_rate;
    if ((pcm_like(f) || (block_codec(f) && p.frame_bytes > 1)) && f.block_align > 0) {
        units = bytes / f.block_align * (pcm_like(f) ? 1 : f.samples_per_block);
        per_second = f.rate;
    }
    if (per_second == 0 || units / per_second > static_cast<uint64_t>(INT64_MAX) / 1000 - 1) return -1;
    return static_cast<int64_t>(units / per_second * 1000 + (units % per_second) * 1000 / per_second);
}

std::string clock_text(int64_t ms) {
    if (ms < 0) return "";
    auto two = [](int64_t n) { return (n < 10 ? "0" : "") + std::to_string(n); };
    const int64_t s = ms / 1000, h = s / 3600;
    std::string text = h > 0 ? std::to_string(h) + ":" + two(s / 60 % 60) : std::to_string(s / 60 % 60);
    std::string frac = std::to_string(ms % 1000);
    return text + ":" + two(s % 60) + "." + std::string(3 - frac.size(), '0') + frac;
}

Outcome outcome_of(const RepairPlan& plan) {
    switch (plan.verdict) {
        case Verdict::ReadFailed: return Outcome::NotFound;
        case Verdict::NoDataBlock: return Outcome::NoDataBlock;
        case Verdict::CutShort: return Outcome::CutShort;
        case Verdict::TooLarge: return Outcome::TooLarge;
        case Verdict::Correct: return Outcome::Correct;
        case Verdict::Fix: break;
    }
    return Outcome::NeedsFix;
}

std::string report_line(Outcome outcome, const std::string& path) {
    switch (outcome) {
        case Outcome::NotFound: return with_path("File called ", path, " cannot be found.");
        case Outcome::BeingWritten:
            return with_path("The file ", path, " is being written by another program and was left alone.");
        case Outcome::NoDataBlock: return "Cannot find data block in wave file!\n";
        case Outcome::CutShort: return with_path("The header in ", path, " is cut short and cannot be fixed.");
        case Outcome::TooLarge: return with_path("The data block in ", path, " is too large for a wave header.");
        case Outcome::Correct: return with_path("The header in ", path, " appears to be correct.");
        case Outcome::Fixed: return with_path("Header was fixed successfully in ", path, ".");
        case Outcome::NeedsFix: return with_path("The header in ", path, " needs to be fixed.");
        case Outcome::WriteFailed: return with_path("Unable to write data to header in ", path, ".");
    }
    return "";
}

std::vector<std::string> detail_lines(const RepairPlan& p, const std::string& path) {
    switch (p.verdict) {
        case Verdict::ReadFailed: return {path + ": a read failed"};
        case Verdict::NoDataBlock: return {path + ": " + p.why_none};
        case Verdict::CutShort:
            return {form_and_format(p), "the file ends " + number(p.audio_end - p.data_id) +
                                            (p.kind == Form::Wave ? " bytes after the data chunk's id, inside its size field"
                                                                  : " bytes after the audio chunk's id, inside its header")};
        default: break;
    }
    std::vector<std::string> lines = {form_and_format(p)};
    if (p.verdict == Verdict::TooLarge && p.kind == Form::Aiff) {
        lines.push_back("audio " + number(p.new_size) + " bytes, more than an AIFF size can count; the form has no "
                        "64-bit size to become");
        return lines;
    }
    if (p.verdict == Verdict::TooLarge) {
        lines.push_back("data " + number(p.new_size) + " bytes, more than a RIFF size can count, and no JUNK chunk "
                        "first to become ds64");
        return lines;
    }
    lines.push_back(data_line(p));
    if (words_of(p).form_size != nullptr) lines.push_back(form_line(p));
    if (p.fact) lines.push_back(sample_count_line(words_of(p).count, p.fact_count, p.new_fact_count, p.fact_counts_fewer));
    if (p.new_ds64_samples != p.ds64_samples || p.ds64_counts_fewer)
        lines.push_back(sample_count_line("ds64 sample count", p.ds64_samples, p.new_ds64_samples, p.ds64_counts_fewer));
    add_uncounted(p, lines);
    for (size_t k = 0; k < p.write_count; ++k) {
        const Write& w = p.writes[k];
        lines.push_back("at " + number(w.offset) + ": " + bytes_hex(w.before, w.count) + " -> " +
                        bytes_hex(w.bytes, w.count));
    }
    return lines;
}

}  // namespace ostrel
