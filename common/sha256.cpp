#include "common/sha256.h"

#include <cstring>

#if defined(_MSC_VER)
#include <intrin.h>
#include <immintrin.h>
#define KESTRUN_SHA_TARGET
#elif defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define KESTRUN_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))
#endif

namespace kestrun {

namespace {

constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t Rotate(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

#if defined(KESTRUN_SHA_TARGET)
// SSSE3, SSE4.1 and the SHA extensions (leaf 1 ECX bits 9 and 19, leaf 7 EBX bit 29).
bool HasShaInstructions() {
  unsigned regs[2][4] = {};
#if defined(_MSC_VER)
  int info[4];
  __cpuidex(info, 1, 0);
  regs[0][2] = static_cast<unsigned>(info[2]);
  __cpuidex(info, 7, 0);
  regs[1][1] = static_cast<unsigned>(info[1]);
#else
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid_count(1, 0, regs[0][0], regs[0][1], regs[0][2], regs[0][3]);
  __cpuid_count(7, 0, regs[1][0], regs[1][1], regs[1][2], regs[1][3]);
#endif
  return (regs[0][2] & (1u << 9)) && (regs[0][2] & (1u << 19)) && (regs[1][1] & (1u << 29));
}

// The rounds on the processor's SHA instructions: sixteen groups of four,
// the message schedule in a ring of four vectors.
KESTRUN_SHA_TARGET void CompressWithShaInstructions(std::uint32_t* state, const std::uint8_t* data,
                                                    size_t blocks) {
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  low = _mm_shuffle_epi32(low, 0xB1);               // CDAB
  high = _mm_shuffle_epi32(high, 0x1B);             // EFGH
  __m128i abef = _mm_alignr_epi8(low, high, 8);     // ABEF
  __m128i cdgh = _mm_blend_epi16(high, low, 0xF0);  // CDGH
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i savedAbef = abef, savedCdgh = cdgh;
    __m128i words[4];
    for (size_t group = 0; group < 16; ++group) {
      __m128i& current = words[group & 3];
      if (group < 4) {
        current = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * group)), byteSwap);
      } else {
        const __m128i& previous = words[(group + 3) & 3];
        current = _mm_sha256msg2_epu32(
            _mm_add_epi32(_mm_sha256msg1_epu32(current, words[(group + 1) & 3]),
                          _mm_alignr_epi8(previous, words[(group + 2) & 3], 4)),
            previous);
      }
      __m128i message = _mm_add_epi32(
          current, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * group)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
      message = _mm_shuffle_epi32(message, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
    }
    abef = _mm_add_epi32(abef, savedAbef);
    cdgh = _mm_add_epi32(cdgh, savedCdgh);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}
#else
bool HasShaInstructions() { return false; }
void CompressWithShaInstructions(std::uint32_t*, const std::uint8_t*, size_t) {}
#endif

}  // namespace

Sha256::Sha256(bool accelerated)
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {
  static const bool available = HasShaInstructions();
  accelerated_ = accelerated && available;
}

void Sha256::Compress(const std::uint8_t* blocks, size_t count) {
  if (accelerated_) {
    CompressWithShaInstructions(state_.data(), blocks, count);
    return;
  }
  for (size_t i = 0; i < count; ++i) CompressPortable(blocks + 64 * i);
}

void Sha256::CompressPortable(const std::uint8_t* block) {
  // The 64 rounds unrolled eight at a time, the message schedule kept in a
  // ring of sixteen words: the copy of a snapshot's files waits on this.
  std::uint32_t w[16];
  for (size_t i = 0; i < 16; ++i) {
    w[i] = (std::uint32_t{block[4 * i]} << 24) | (std::uint32_t{block[4 * i + 1]} << 16) |
           (std::uint32_t{block[4 * i + 2]} << 8) | std::uint32_t{block[4 * i + 3]};
  }
  std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  std::uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
  const auto schedule = [&w](int i) {
    const std::uint32_t w15 = w[(i - 15) & 15], w2 = w[(i - 2) & 15];
    const std::uint32_t s0 = Rotate(w15, 7) ^ Rotate(w15, 18) ^ (w15 >> 3);
    const std::uint32_t s1 = Rotate(w2, 17) ^ Rotate(w2, 19) ^ (w2 >> 10);
    return w[i & 15] += s0 + w[(i - 7) & 15] + s1;
  };
  const auto round = [](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t& d,
                        std::uint32_t e, std::uint32_t f, std::uint32_t g, std::uint32_t& h,
                        std::uint32_t k) {
    const std::uint32_t t1 =
        h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) + (g ^ (e & (f ^ g))) + k;
    const std::uint32_t t2 =
        (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) | (c & (a | b)));
    d += t1;
    h = t1 + t2;
  };
  for (int i = 0; i < 64; i += 8) {
    const auto word = [&](int j) { return i + j < 16 ? w[i + j] : schedule(i + j); };
    round(a, b, c, d, e, f, g, h, kRound[i] + word(0));
    round(h, a, b, c, d, e, f, g, kRound[i + 1] + word(1));
    round(g, h, a, b, c, d, e, f, kRound[i + 2] + word(2));
    round(f, g, h, a, b, c, d, e, kRound[i + 3] + word(3));
    round(e, f, g, h, a, b, c, d, kRound[i + 4] + word(4));
    round(d, e, f, g, h, a, b, c, kRound[i + 5] + word(5));
    round(c, d, e, f, g, h, a, b, kRound[i + 6] + word(6));
    round(b, c, d, e, f, g, h, a, kRound[i + 7] + word(7));
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
  state_[5] += f;
  state_[6] += g;
  state_[7] += h;
}

void Sha256::Add(const void* bytes, size_t count) {
  const auto* in = static_cast<const std::uint8_t*>(bytes);
  length_ += count;
  if (used_ > 0) {
    const size_t take = count < 64 - used_ ? count : 64 - used_;
    std::memcpy(block_.data() + used_, in, take);
    used_ += take;
    in += take;
    count -= take;
    if (used_ < 64) return;
    Compress(block_.data(), 1);
    used_ = 0;
  }
  Compress(in, count / 64);
  in += count / 64 * 64;
  count %= 64;
  if (count > 0) std::memcpy(block_.data(), in, count);
  used_ = count;
}

std::array<std::uint8_t, 32> Sha256::Finish() {
  const std::uint64_t bits = length_ * 8;
  const std::uint8_t one = 0x80;
  Add(&one, 1);
  const std::uint8_t zero = 0;
  while (used_ != 56) Add(&zero, 1);
  std::uint8_t size[8];
  for (int i = 0; i < 8; ++i) size[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
  Add(size, 8);
  std::array<std::uint8_t, 32> digest;
  for (size_t i = 0; i < 8; ++i) {
    for (size_t j = 0; j < 4; ++j) {
      digest[4 * i + j] = static_cast<std::uint8_t>(state_[i] >> (24 - 8 * j));
    }
  }
  return digest;
}

std::string Sha256::FinishHex() {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const std::uint8_t byte : Finish()) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0xF];
  }
  return hex;
}

}  // namespace kestrun
