// Layout arithmetic of the assembler over plain values: where envelopes land
// in a drive channel's envelope memory and how drive words fill a fixed drive
// row. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tvk::assembler {

// Envelope memory: a head of 16 samples, then the envelope area, addressed
// in bytes from the end of the head.
constexpr std::int64_t kEnvelopeHeadSamples = 16;
constexpr std::int64_t kEnvelopeSampleBytes = 2;
// One drive channel's program memory: 81920 words of 32 bits.
constexpr std::int64_t kDriveRowWords = 81920;
constexpr std::int64_t kDriveRowBytes = kDriveRowWords * 4;

struct EnvelopePlace {
    std::int64_t start = 0;         // byte offset in the area
    std::int64_t end = 0;           // start + padded length
    std::int64_t length = 0;        // unpadded byte length
    std::int64_t first_sample = 0;  // memory sample index of the first sample
    std::int64_t sample_count = 0;  // samples written (padding stays 0)
};

// Places envelopes one after another in list order.
class EnvelopeLayout {
public:
    enum class Status {
        Ok,
        Overflow,    // samples would reach past the end of the memory
        BadPadding,  // padded length below the length, or not representable
        OddLength,   // byte form is not whole 16-bit samples
    };

    explicit EnvelopeLayout(std::int64_t memory_samples) : memory_samples_(memory_samples) {}

    // Places the next envelope of `length` bytes taking `padded` bytes of the
    // area. On Ok fills `out` and advances; otherwise leaves the cursor alone
    // and fills `out` with what the placement would have been.
    Status place(std::int64_t length, std::int64_t padded, EnvelopePlace& out);

    std::int64_t cursor() const { return cursor_; }
    // Bytes of the area (memory after the head); 0 when the memory is smaller.
    std::int64_t area_bytes() const;

private:
    std::int64_t memory_samples_;
    std::int64_t cursor_ = 0;
};

// Fills one drive row (or any fixed byte buffer) word by word, refusing any
// write past its capacity.
class RowWriter {
public:
    RowWriter(unsigned char* dst, std::size_t capacity) : dst_(dst), capacity_(capacity) {}
    // False (nothing written) when `n` more bytes do not fit.
    bool append(const void* src, std::size_t n);
    std::size_t used() const { return used_; }
    std::size_t capacity() const { return capacity_; }

private:
    unsigned char* dst_;
    std::size_t capacity_;
    std::size_t used_ = 0;
};

}  // namespace tvk::assembler
