#pragma once
// Little-endian field access and the upload arithmetic, as the scanner does them.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace nimbrel::sim::wire {

inline std::uint32_t Get32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}
inline std::int32_t GetI32(const std::uint8_t* p) { return static_cast<std::int32_t>(Get32(p)); }

inline void Put32(std::uint8_t* p, std::uint32_t v) {
  p[0] = std::uint8_t(v);
  p[1] = std::uint8_t(v >> 8);
  p[2] = std::uint8_t(v >> 16);
  p[3] = std::uint8_t(v >> 24);
}

inline double GetDouble(const std::uint8_t* p) {
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = bits << 8 | p[i];
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// Writes a text into a fixed field: the text and a terminating zero, or the
// first `width` bytes of a longer text without terminator. Bytes after the
// terminator stay as they were.
inline void PutText(std::uint8_t* field, std::size_t width, std::string_view text) {
  const std::size_t n = text.size() < width ? text.size() : width;
  std::memcpy(field, text.data(), n);
  if (n < width) field[n] = 0;
}

// transferLength of an upload of `size` payload bytes: the payload rounded
// up to whole 512-byte blocks, plus the 512-byte header.
inline std::int64_t PaddedLength(std::int64_t size) { return (size + 511) / 512 * 512 + 512; }

}  // namespace nimbrel::sim::wire
