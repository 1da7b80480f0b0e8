#include "assembler_core.hpp"

#include <cstring>
#include <limits>

namespace tvk::assembler {

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

bool RowWriter::append(const void* src, std::size_t n) {
    if (n > capacity_ - used_) return false;
    if (n) std::memcpy(dst_ + used_, src, n);
    used_ += n;
    return true;
}

}  // namespace tvk::assembler
