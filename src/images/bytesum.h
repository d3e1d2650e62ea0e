// The one checksum of the download protocol: the sum of all bytes of a region, each taken as an
// unsigned value, in a 32-bit accumulator that wraps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnel {

class ImageFile;

// Adds the bytes of [data, data + size) to `sum`; call repeatedly to sum a stream.
uint32_t ByteSum32(const void* data, size_t size, uint32_t sum = 0);

// The streaming file sums below read through a bounded buffer, never the whole region.
// When the file ends early they sum what was there and set `*complete` to false.

// Sum of the whole file from offset 0; the file is positioned at 0 afterwards.
uint32_t FileByteSum(ImageFile& file, bool* complete = nullptr);
// Sum of `length` bytes from `offset`; the file is positioned at `offset` afterwards.
uint32_t RegionByteSum(ImageFile& file, uint64_t offset, uint64_t length, bool* complete = nullptr);
// Sum of `length` bytes from the current position, which is restored afterwards.
uint32_t ByteSumFromHere(ImageFile& file, uint64_t length, bool* complete = nullptr);

}  // namespace varnel
