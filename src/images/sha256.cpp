#include "images/sha256.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "images/bytesum.h"
#include "images/image_file.h"

namespace varnel {

namespace {

constexpr std::array<uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr size_t kReadBlock = 64 << 10;

uint32_t LoadBigEndian(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

Sha256::Sha256()
    : m_state{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::Compress(const uint8_t* block) {
    std::array<uint32_t, 64> w{};
    for (size_t i = 0; i < 16; ++i) {
        w[i] = LoadBigEndian(block + 4 * i);
    }
    for (size_t i = 16; i < 64; ++i) {
        const uint32_t s0 = std::rotr(w[i - 15], 7) ^ std::rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = std::rotr(w[i - 2], 17) ^ std::rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    auto [a, b, c, d, e, f, g, h] = m_state;
    for (size_t i = 0; i < 64; ++i) {
        const uint32_t s1 = std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25);
        const uint32_t choice = (e & f) ^ (~e & g);
        const uint32_t t1 = h + s1 + choice + kRound[i] + w[i];
        const uint32_t s0 = std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22);
        const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + s0 + majority;
    }
    const std::array<uint32_t, 8> add = {a, b, c, d, e, f, g, h};
    for (size_t i = 0; i < 8; ++i) {
        m_state[i] += add[i];
    }
}

void Sha256::Update(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    m_qwTotal += size;
    if (m_nBlockUsed > 0) {
        const size_t take = std::min(size, m_block.size() - m_nBlockUsed);
        std::memcpy(m_block.data() + m_nBlockUsed, p, take);
        m_nBlockUsed += take;
        p += take;
        size -= take;
        if (m_nBlockUsed < m_block.size()) {
            return;
        }
        Compress(m_block.data());
        m_nBlockUsed = 0;
    }
    for (; size >= m_block.size(); p += m_block.size(), size -= m_block.size()) {
        Compress(p);
    }
    std::memcpy(m_block.data(), p, size);
    m_nBlockUsed = size;
}

Sha256Digest Sha256::Finish() {
    const uint64_t bits = m_qwTotal * 8;
    const uint8_t one = 0x80;
    Update(&one, 1);
    const uint8_t zero = 0;
    while (m_nBlockUsed != 56) {
        Update(&zero, 1);
    }
    std::array<uint8_t, 8> length{};
    for (size_t i = 0; i < 8; ++i) {
        length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    }
    Update(length.data(), length.size());
    Sha256Digest digest{};
    for (size_t i = 0; i < 8; ++i) {
        for (size_t byte = 0; byte < 4; ++byte) {
            digest[4 * i + byte] = static_cast<uint8_t>(m_state[i] >> (24 - 8 * byte));
        }
    }
    return digest;
}

std::string Sha256Hex(const Sha256Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

FileDigests FileByteSumAndSha256(ImageFile& file, bool* complete) {
    FileDigests digests;
    Sha256 hash;
    bool whole = file.Seek(0);
    if (whole) {
        const auto block = std::make_unique_for_overwrite<uint8_t[]>(kReadBlock);
        uint64_t left = file.Length();
        while (left > 0) {
            const size_t want = left < kReadBlock ? static_cast<size_t>(left) : kReadBlock;
            const size_t got = file.Read(block.get(), want);
            hash.Update(block.get(), got);
            digests.dwByteSum = ByteSum32(block.get(), got, digests.dwByteSum);
            left -= got;
            if (got < want) {
                break;
            }
        }
        whole = left == 0;
        file.Seek(0);
    }
    if (complete != nullptr) {
        *complete = whole;
    }
    digests.sha256 = hash.Finish();
    return digests;
}

}  // namespace varnel
