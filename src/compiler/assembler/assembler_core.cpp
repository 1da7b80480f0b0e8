#include "assembler_core.hpp"

#include <cstring>
#include <limits>

namespace tvk::ostrane {

std::int64_t EnvelopeLayout::area_bytes() const {
    std::int64_t samples = memory_samples_ - kEnvelopeHeadSamples;
    return samples > 0 ? samples * kEnvelopeSampleBytes : 0;
}

EnvelopeLayout::Status EnvelopeLayout::place(std::int64_t length, std::int64_t padded,
                                             EnvelopePlace& out) {
    out = EnvelopePlace{};
    out.start = cursor_;
    out.length = length;
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max() / 4;
    if (length < 0 || padded < length || padded > kMax - cursor_) return Status::BadPadding;
    out.end = cursor_ + padded;
    if (length % kEnvelopeSampleBytes != 0) return Status::OddLength;
    // Byte offsets halve to sample indices; an odd start (odd padding) would
    // split a sample, which the memory cannot hold.
    if (cursor_ % kEnvelopeSampleBytes != 0) return Status::BadPadding;
    out.first_sample = kEnvelopeHeadSamples + cursor_ / kEnvelopeSampleBytes;
    out.sample_count = length / kEnvelopeSampleBytes;
    if (out.first_sample + out.sample_count > memory_samples_) return Status::Overflow;
    cursor_ = out.end;
    return Status::Ok;
}

std::vector<MergeStep> plan_probe_merge(const std::vector<ProbeKind>& kinds) {
    std::vector<MergeStep> steps;
    steps.reserve(kinds.size());
    std::size_t run_first = 0;
    bool in_run = false, holder = false;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        if (kinds[i] != ProbeKind::Word) {
            if (!in_run) {
                in_run = true;
                holder = false;
                run_first = i;
            }
            holder = holder || kinds[i] == ProbeKind::HolderDelay;
            continue;
        }
        // A word closes the run before it, even an empty one: the run's
        // merged word (if any) goes in front of the word.
        steps.push_back({MergeStep::Run, in_run ? run_first : i, i, in_run && holder});
        steps.push_back({MergeStep::Word, i, i + 1, false});
        in_run = false;
    }
    if (in_run) steps.push_back({MergeStep::Run, run_first, kinds.size(), holder});
    return steps;
}

bool RowWriter::append(const void* src, std::size_t n) {
    if (n > capacity_ - used_) return false;
    if (n) std::memcpy(dst_ + used_, src, n);
    used_ += n;
    return true;
}

}  // namespace tvk::ostrane
