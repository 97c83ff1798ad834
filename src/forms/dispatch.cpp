// Picks the form by the file's first bytes, so that the shell, the page and the report words take
// one kind of plan whatever the form.
#include "form_plan.h"

namespace ostrel {

bool is_repaired_form(const uint8_t* head, size_t count) {
    return is_wave_form(head, count) || forms::is_aiff_form(head, count) || forms::is_wave64_form(head, count) ||
           forms::is_caf_form(head, count);
}

RepairPlan plan_repair(ByteSource& source, uint64_t file_length) {
    CachedBytes b(source, file_length);
    if (b.failed()) return forms::read_failed(RepairPlan{});
    if (forms::is_aiff_form(b.head(), b.head_size())) return forms::plan_aiff(b);
    if (forms::is_wave64_form(b.head(), b.head_size())) return forms::plan_wave64(b);
    if (forms::is_caf_form(b.head(), b.head_size())) return forms::plan_caf(b);
    return plan_wave(b);
}

}  // namespace ostrel
