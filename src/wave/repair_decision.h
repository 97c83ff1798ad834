// The pure half of the repair: from a file's bytes, read through a ByteSource, and its length,
// decide what to write. Nothing here touches a file or prints; the shell in header_repair.cpp
// does both.
#pragma once

#include <cstddef>
#include <cstdint>

#include "byte_source.h"

namespace ostrel {

// The first chunk header follows "RIFF", the RIFF size and "WAVE".
constexpr uint64_t kFirstChunk = 12;
// When the chunk chain breaks, "data" is looked for at the even offsets 12 .. 131072.
constexpr uint64_t kLastProbe = 131072;
constexpr size_t kWindowBytes = kLastProbe + 8;
// No real file has this many chunks before its audio or after it; the cap bounds the reads
// that a hostile file can ask for.
constexpr int kMaxChunks = 4096;
// The largest data length that the 4-byte field can hold.
constexpr uint64_t kMaxFieldValue = 0xFFFFFFFFu;
// An RF64/BW64 file keeps its form and data sizes at these offsets, in the ds64 chunk that
// comes first.
constexpr uint64_t kDs64RiffSizeOffset = 20;
constexpr uint64_t kDs64DataSizeOffset = 28;
// Taggers and players append a 128-byte ID3v1 tag, which begins "TAG", to the file.
constexpr uint64_t kId3v1Bytes = 128;
// A file whose size would change is read once more at its end, for an ID3v1 tag and for chunks
// that a writer appended after the audio.
constexpr uint64_t kTailBytes = 4096;
// An RF64/BW64 ds64 chunk also holds the number of sample frames.
constexpr uint64_t kDs64SampleCountOffset = 36;
// GSM 6.10 packs 320 samples into each 65-byte block.
constexpr uint32_t kGsmSamplesPerBlock = 320;
// How far past the file a form may end and still be left alone in a file whose data size is
// right; writers' placeholders lie much further out.
constexpr uint64_t kFormSlack = uint64_t{1} << 20;

enum class Verdict {
    ReadFailed,   // the source could not deliver bytes that lie inside the file
    NoDataBlock,  // not a RIFF/RF64/BW64 WAVE file, or no data chunk found
    CutShort,     // the file ends inside the data chunk's size field
    TooLarge,     // more data than a RIFF file can count, and no room to make it RF64
    Correct,      // the stored size is proven by the file's structure
    Fix,          // apply `writes`, in order
};

// One write of the plan, with the bytes it replaces, so that a log of the run is enough to undo
// it. The longest is the body of a ds64 chunk made from JUNK.
struct Write {
    uint64_t offset = 0;
    size_t count = 0;
    uint8_t bytes[28] = {};
    uint8_t before[28] = {};
    bool sync_after = false;  // put this and every write before it on storage before the next
};

// What settles a stored size without counting the file's bytes.
enum class Proof { None, FileLength, ChunksAfter, PadByte, PartialFrame };

// The first fmt chunk read whole, as far as the sizes and the report need it.
struct AudioFormat {
    bool known = false;  // a fmt chunk of at least 14 bytes was read whole
    uint32_t tag = 0;    // wFormatTag; for extensible, the sub-format's tag when the chunk has it
    bool extensible = false;
    uint32_t channels = 0, rate = 0, byte_rate = 0, block_align = 0, bits = 0;
    uint32_t samples_per_block = 0;  // of ADPCM and GSM; 0 where the chunk does not say
};

// The forms repaired; each has its own place in src/forms/, WAVE's is this file.
enum class Form { Wave, Aiff, Wave64, Caf };

struct RepairPlan {
    Verdict verdict = Verdict::NoDataBlock;
    Form kind = Form::Wave;
    bool known_form = false;    // one of the forms above, found by its first bytes
    bool wave_form = false;     // RIFF, RF64 or BW64 at 0 and WAVE at 8
    const char* why_none = "";  // with NoDataBlock: why no data size was checked
    char form[5] = {};          // "RIFF", "RF64" or "BW64"; "AIFF" or "AIFC"; "riff" (Wave64); "caff"
    char coding[5] = {};        // AIFF-C's compression type or CAF's format, as stored; empty in WAVE
    bool rf64 = false;          // the size lives in ds64 (RF64 or BW64)
    bool found_by_chain = false;
    uint64_t data_id = 0;       // h: offset of the data chunk's id
    uint64_t stored_size = 0;   // the 32-bit field, or ds64's 64-bit data size; elsewhere the audio it counts
    uint64_t data_start = 0;    // where the audio begins: h + 8 in WAVE
    // The data size field as stored, and the bytes it counts besides the audio: SSND's offset and
    // block size, Wave64's chunk header, CAF's edit count. 0 in WAVE, where the field is the size.
    uint64_t stored_field = 0, field_extra = 0;
    uint64_t data_length = 0;   // bytes from h + 8 to the end of the file
    uint64_t new_size = 0;      // the data size once settled: stored_size unless it is wrong
    uint32_t frame_bytes = 1;   // the data size counts whole frames or blocks of this many bytes
    AudioFormat format;
    uint64_t audio_end = 0;     // where the data may end: the file's end, or where an ID3v1 tag starts
    bool id3v1_tag = false;
    Proof proof = Proof::None;  // what settled the size, when it was not counted from the bytes
    uint64_t form_size = 0;     // the RIFF size, or ds64's riffSize, as stored; FORM's; Wave64's file size
    uint64_t new_form_size = 0;
    bool promoted = false;      // a RIFF file past 4 GiB becomes RF64
    uint64_t appended_at = 0;   // where chunks that a writer appended after the audio begin, or 0
    uint64_t appended_end = 0;
    bool fact = false;          // a fact chunk was read whole before the data; AIFF's numSampleFrames
    uint64_t fact_offset = 0;   // of its sample count
    uint32_t fact_count = 0, new_fact_count = 0;
    uint64_t ds64_samples = 0, new_ds64_samples = 0;
    // A count below the frames a right data size holds is kept, and said.
    bool fact_counts_fewer = false, ds64_counts_fewer = false;
    Write writes[6];
    size_t write_count = 0;
};

// PCM, float, A-law, mu-law and extensible store whole frames of nBlockAlign bytes; in any
// other format a frame says nothing about where the audio may end.
bool pcm_like(const AudioFormat& f);
// MS ADPCM, IMA ADPCM and GSM 6.10 store whole blocks of nBlockAlign bytes.
bool block_codec(const AudioFormat& f);
// True when the four bytes can be a chunk id: printable ASCII, as every registered id is.
bool printable_id(const uint8_t id[4]);
// True when the first bytes say RIFF, RF64 or BW64 at 0 and WAVE at 8.
bool is_wave_form(const uint8_t* head, size_t count);

// A fmt chunk's body of `count` bytes, 14 or more; Wave64 keeps the same one.
AudioFormat read_format(const uint8_t* body, size_t count);
// The bytes of a whole frame or block, or 1 where a frame says nothing.
uint32_t frame_bytes(const AudioFormat& f);
// Where a form should end, or 0 when its size (the bytes after its first 8) may stay: see the
// WAVE rule in repair_decision.cpp; AIFF's FORM keeps it too.
uint64_t form_end_wanted(uint64_t form_size, uint64_t data_start, uint64_t size, uint64_t end, bool proven,
                         bool repaired);

// The WAVE plan, from the file's bytes read through `b`.
RepairPlan plan_wave(CachedBytes& b);

// The plan for any form repaired, picked by the file's first bytes (src/forms/dispatch.cpp).
RepairPlan plan_repair(ByteSource& source, uint64_t file_length);
// True when the first `count` bytes (up to 40 are looked at) begin a form that is repaired.
bool is_repaired_form(const uint8_t* head, size_t count);
// Enough of the head to tell every form apart.
constexpr size_t kFormHeadBytes = 40;

// True when the take, as the plan leaves it, holds no audio: the file ends at its header, or
// what follows counts for nothing. A recorder that lost power after its first write leaves one.
bool holds_no_audio(const RepairPlan& plan);

}  // namespace ostrel
