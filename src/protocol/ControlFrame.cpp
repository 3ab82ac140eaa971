#include "protocol/ControlFrame.h"

#include <bit>
#include <cstdio>
#include <cstring>

#include "platform/DateTime.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nimbrel::protocol {

std::string GreetingRecord::Text(std::size_t offset, std::size_t size) const {
  std::size_t n = 0;
  while (n < size && b_[offset + n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(b_ + offset), n);
}

bool IsDeviceMagic(std::span<const std::uint8_t, kFrameSize> frame) {
  const std::uint32_t m = LoadU32(frame.data());
  return m == kMagicSoF || m == kMagicSYS;
}

void PrepareRequestFrame(std::int32_t command, ControlFrame frame) {
  frame.setMagic(kMagicSoF);
  frame.setCommand(command);
  frame.setTransferLength(0);
}

std::int64_t PaddedLength(std::int64_t size) { return (size + 511) / 512 * 512 + 512; }

std::uint32_t UploadChecksum(std::int64_t paddedLength, std::uint8_t* staged) {
  std::uint32_t sum = LoadU32(staged + UploadHeader::kMagic) + LoadU32(staged + UploadHeader::kCommand) +
                      LoadU32(staged + UploadHeader::kSize);
  for (std::int64_t i = 512; i + 4 <= paddedLength; i += 4) sum += LoadU32(staged + i);
  UploadHeader(staged).setChecksum(sum);
  return sum;
}

namespace {
constexpr std::size_t kStreamingThreshold = 8u << 20;
}  // namespace

std::uint32_t CopySummingWords(std::uint8_t* to, const std::uint8_t* from, std::size_t size) {
  // One pass: each piece is loaded once, stored and added. Only the sum
  // modulo 2^32 counts, so four 32-bit lanes may each wrap on their own.
  using Lanes = std::uint32_t __attribute__((vector_size(16)));
  Lanes a{}, b{};
  std::size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // Copies and sums the 32-byte pieces, storing each with `store`.
    const auto pieces = [&](auto store) {
      for (; i + 32 <= size; i += 32) {
        Lanes x, y;
        std::memcpy(&x, from + i, sizeof x);
        std::memcpy(&y, from + i + 16, sizeof y);
        store(to + i, x);
        store(to + i + 16, y);
        a += x;
        b += y;
      }
    };
#if defined(__SSE2__)
    // A payload larger than the caches goes past them on its way to the
    // staging buffer (streaming stores): the buffer's old contents are not
    // read in first, which would make a third pass over memory.
    if (size >= kStreamingThreshold && reinterpret_cast<std::uintptr_t>(to) % 16 == 0) {
      pieces([](std::uint8_t* at, Lanes v) {
        _mm_stream_si128(reinterpret_cast<__m128i*>(at), reinterpret_cast<__m128i>(v));
      });
      _mm_sfence();
    }
#endif
    pieces([](std::uint8_t* at, Lanes v) { std::memcpy(at, &v, sizeof v); });
  }
  a += b;
  std::uint32_t sum = a[0] + a[1] + a[2] + a[3];
  for (; i + 4 <= size; i += 4) {
    std::memcpy(to + i, from + i, 4);
    sum += LoadU32(from + i);
  }
  if (i < size) {
    std::uint8_t last[4] = {};
    std::memcpy(last, from + i, size - i);
    std::memcpy(to + i, last, size - i);
    sum += LoadU32(last);
  }
  return sum;
}

double MakeTimestamp(const platform::LocalDateTime& t) {
  const std::int64_t days = platform::DaysFromCivil(t.year, t.month, t.day) - platform::DaysFromCivil(1899, 12, 30);
  const double msOfDay = ((t.hour * 60.0 + t.minute) * 60.0 + t.second) * 1000.0 + t.millisecond;
  return static_cast<double>(days) + msOfDay / 86400000.0;
}

std::string FormatVersion(std::uint32_t v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%u.%u.%u.%u", v >> 24 & 0xFF, v >> 16 & 0xFF, v >> 8 & 0xFF, v & 0xFF);
  return buffer;
}

namespace {

Frame Build(std::uint32_t magic, std::int32_t param, std::int32_t value, std::int32_t command) {
  Frame f{};
  ControlFrame v = FrameView(f);
  v.setMagic(magic);
  v.setParam(param);
  v.setValue(value);
  v.setCommand(command);
  v.setTransferLength(0);
  return f;
}

}  // namespace

Frame MakeKeepAliveFrame() { return Build(kMagicSoF, 0, 512, CommandKeepAlive); }
Frame MakeEndSessionFrame() { return Build(kMagicSoF, 0, 512, CommandEndSession); }
Frame MakeRegisterFrame(std::int32_t reg, std::int32_t value) { return Build(kMagicSeT, reg, value, 0); }
Frame MakeWakeFrame() { return Build(kMagicRsS, -1, -1, 0); }
Frame MakeMagicOnlyFrame(std::uint32_t magic) { return Build(magic, 0, 0, 0); }
Frame MakeSysInfoRequestFrame() { return Build(kMagicSoF, 0, 512, CommandSystemInfo); }

}  // namespace nimbrel::protocol
