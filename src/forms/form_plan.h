// What the forms other than WAVE share: big-endian fields, the plan's writes and the bytes they
// replace, and the size that counts the whole frames on disk. Each form has its own file here,
// pure over ByteSource as WAVE's is; dispatch.cpp picks one by the file's first bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "byte_source.h"
#include "repair_decision.h"

namespace ostrel::forms {

uint64_t load_be(const uint8_t* bytes, int count);
void store_be(uint64_t value, uint8_t* bytes, int count);
bool id_is(const uint8_t* bytes, const char* id);

// Appends a write of `count` big- or little-endian bytes of `value` at `offset`.
void add_be(RepairPlan& p, uint64_t offset, uint64_t value, int count);
void add_le(RepairPlan& p, uint64_t offset, uint64_t value, int count);

// Fills each write's bytes before from the file; false if a read failed.
bool keep_bytes_before(CachedBytes& b, RepairPlan& p);

RepairPlan none(RepairPlan p, const char* why);
RepairPlan read_failed(RepairPlan p);

// The audio size once settled, from the `stored` bytes the field counts and the `n` bytes from the
// audio's start to the end of the file: the stored size where whole chunks after it reach the end
// (`chunks_prove`), or where it is the file's length in whole frames; else the whole frames on disk.
void settle_audio(RepairPlan& p, uint64_t stored, uint64_t n, bool chunks_prove);

// The plans of each form, from the bytes read through `b`.
RepairPlan plan_aiff(CachedBytes& b);
RepairPlan plan_wave64(CachedBytes& b);
RepairPlan plan_caf(CachedBytes& b);
bool is_aiff_form(const uint8_t* head, size_t count);
bool is_wave64_form(const uint8_t* head, size_t count);
bool is_caf_form(const uint8_t* head, size_t count);

}  // namespace ostrel::forms
