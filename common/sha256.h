// SHA-256 (FIPS 180-4), for the checksums a snapshot keeps of the files it
// copies: a file whose bytes changed is never put back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrun {

class Sha256 {
 public:
  // The processor's SHA instructions are used where it has them, unless told
  // not to (the tests check both ways give the same digests).
  explicit Sha256(bool accelerated = true);
  void Add(const void* bytes, size_t count);
  // The digest of everything added; the hasher is spent afterwards.
  std::array<std::uint8_t, 32> Finish();
  // The digest as 64 lower-case hexadecimal digits.
  std::string FinishHex();

 private:
  void Compress(const std::uint8_t* blocks, size_t count);
  void CompressPortable(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> block_ = {};
  size_t used_ = 0;
  std::uint64_t length_ = 0;  // bytes added
  bool accelerated_;
};

}  // namespace kestrun
