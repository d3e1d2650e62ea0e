#include "images/bytesum.h"

#include <memory>

#include "images/image_file.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varnel {

uint32_t ByteSum32(const void* data, size_t size, uint32_t sum) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint64_t wide = 0;
#if defined(__SSE2__)
    // psadbw against zero adds 8 bytes into each 64-bit lane; four independent accumulators
    // keep the adds from waiting on each other.
    const __m128i zero = _mm_setzero_si128();
    __m128i acc0 = zero, acc1 = zero, acc2 = zero, acc3 = zero;
    while (size >= 64) {
        const auto* v = reinterpret_cast<const __m128i*>(p);
        acc0 = _mm_add_epi64(acc0, _mm_sad_epu8(_mm_loadu_si128(v + 0), zero));
        acc1 = _mm_add_epi64(acc1, _mm_sad_epu8(_mm_loadu_si128(v + 1), zero));
        acc2 = _mm_add_epi64(acc2, _mm_sad_epu8(_mm_loadu_si128(v + 2), zero));
        acc3 = _mm_add_epi64(acc3, _mm_sad_epu8(_mm_loadu_si128(v + 3), zero));
        p += 64;
        size -= 64;
    }
    const __m128i acc = _mm_add_epi64(_mm_add_epi64(acc0, acc1), _mm_add_epi64(acc2, acc3));
    alignas(16) uint64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), acc);
    wide = lanes[0] + lanes[1];
#endif
    for (size_t i = 0; i < size; ++i) {
        wide += p[i];
    }
    return sum + static_cast<uint32_t>(wide);
}

namespace {

// Read straight from the file into a block that still sits in the cache when it is summed;
// larger blocks measured slower, as the sum then goes back to memory for what the read copied.
constexpr size_t kSumBlock = ImageFile::kDirectReadSize;

// Sums `length` bytes from the file's current position through one bounded buffer.
uint32_t SumFromPosition(ImageFile& file, uint64_t length, bool* complete) {
    const auto block = std::make_unique_for_overwrite<uint8_t[]>(kSumBlock);
    uint32_t sum = 0;
    uint64_t left = length;
    while (left > 0) {
        const size_t want = left < kSumBlock ? static_cast<size_t>(left) : kSumBlock;
        const size_t got = file.Read(block.get(), want);
        sum = ByteSum32(block.get(), got, sum);
        left -= got;
        if (got < want) {
            break;
        }
    }
    if (complete != nullptr) {
        *complete = left == 0;
    }
    return sum;
}

}  // namespace

uint32_t FileByteSum(ImageFile& file, bool* complete) {
    return RegionByteSum(file, 0, file.Length(), complete);
}

uint32_t RegionByteSum(ImageFile& file, uint64_t offset, uint64_t length, bool* complete) {
    if (!file.Seek(offset)) {
        if (complete != nullptr) {
            *complete = length == 0;
        }
        return 0;
    }
    const uint32_t sum = SumFromPosition(file, length, complete);
    file.Seek(offset);
    return sum;
}

uint32_t ByteSumFromHere(ImageFile& file, uint64_t length, bool* complete) {
    return RegionByteSum(file, file.Position(), length, complete);
}

}  // namespace varnel
