#include "protocol/ControlFrame.h"

#include <cstdio>

#include "platform/DateTime.h"

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
