#pragma once
// The 512-byte units that travel between the updater and the scanner:
// ControlFrame, GreetingRecord and UploadHeader. Each layout is declared
// here once; every field is read and written by offset, little-endian,
// through views that cannot leave the 512 bytes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/EventLoop.h"
#include "protocol/Bytes.h"

namespace nimbrel::protocol {

inline constexpr std::size_t kFrameSize = 512;
using Frame = std::array<std::uint8_t, kFrameSize>;

// Magic words: three ASCII letters and a zero byte, handled as one word.
inline constexpr std::uint32_t kMagicSoF = 0x00466F53;  // "SoF"
inline constexpr std::uint32_t kMagicSYS = 0x00535953;  // "SYS"
inline constexpr std::uint32_t kMagicSeT = 0x00546553;  // "SeT"
inline constexpr std::uint32_t kMagicSwS = 0x00537753;  // "SwS"
inline constexpr std::uint32_t kMagicSoS = 0x00536F53;  // "SoS"
inline constexpr std::uint32_t kMagicRsS = 0x00537352;  // "RsS"
inline constexpr std::uint32_t kMagicCDb = 0x00624443;  // "CDb"

// Command codes (ControlFrame.command and UploadHeader.command).
inline constexpr std::int32_t CommandSystemInfo = 0x00300000;
inline constexpr std::int32_t CommandKeepAlive = -6;
inline constexpr std::int32_t CommandEndSession = -1;
inline constexpr std::int32_t CommandImage = 0x30000000;

namespace offsets {
inline constexpr std::size_t magic = 0;
inline constexpr std::size_t param = 4;
inline constexpr std::size_t value = 8;
inline constexpr std::size_t body = 12;
inline constexpr std::size_t bodySize = 492;
inline constexpr std::size_t command = 504;
inline constexpr std::size_t transferLength = 508;
}  // namespace offsets

// A view of 512 bytes as a ControlFrame.
template <typename Byte>
class BasicControlFrame {
 public:
  explicit BasicControlFrame(std::span<Byte, kFrameSize> bytes) : b_(bytes.data()) {}
  explicit BasicControlFrame(Byte* bytes) : b_(bytes) {}  // caller vouches for 512 bytes

  std::uint32_t magic() const { return LoadU32(b_ + offsets::magic); }
  std::int32_t param() const { return LoadI32(b_ + offsets::param); }
  std::int32_t value() const { return LoadI32(b_ + offsets::value); }
  std::int32_t command() const { return LoadI32(b_ + offsets::command); }
  std::int32_t transferLength() const { return LoadI32(b_ + offsets::transferLength); }
  std::span<Byte, offsets::bodySize> body() const {
    return std::span<Byte, offsets::bodySize>(b_ + offsets::body, offsets::bodySize);
  }

  void setMagic(std::uint32_t v) const { StoreU32(b_ + offsets::magic, v); }
  void setParam(std::int32_t v) const { StoreI32(b_ + offsets::param, v); }
  void setValue(std::int32_t v) const { StoreI32(b_ + offsets::value, v); }
  void setCommand(std::int32_t v) const { StoreI32(b_ + offsets::command, v); }
  void setTransferLength(std::int32_t v) const { StoreI32(b_ + offsets::transferLength, v); }

 private:
  Byte* b_;
};

using ControlFrame = BasicControlFrame<std::uint8_t>;
using ConstControlFrame = BasicControlFrame<const std::uint8_t>;

inline ControlFrame FrameView(Frame& f) { return ControlFrame(std::span<std::uint8_t, kFrameSize>(f)); }
inline ConstControlFrame FrameView(const Frame& f) {
  return ConstControlFrame(std::span<const std::uint8_t, kFrameSize>(f));
}

// The scanner's greeting: the System Info record from offset 0.
class GreetingRecord {
 public:
  static constexpr std::size_t kPnOffset = 100, kPnSize = 20;
  static constexpr std::size_t kFirmwareVersionOffset = 128;
  static constexpr std::size_t kUnitModeOffset = 132, kUnitModeSize = 20;
  static constexpr std::size_t kTsCodeOffset = 152;
  static constexpr std::size_t kProductionDayOffset = 156;

  explicit GreetingRecord(std::span<const std::uint8_t, kFrameSize> bytes) : b_(bytes.data()) {}
  explicit GreetingRecord(const Frame& f) : b_(f.data()) {}

  std::uint32_t magic() const { return LoadU32(b_); }
  // Texts end at their first zero byte and never go beyond their field.
  std::string pn() const { return Text(kPnOffset, kPnSize); }
  std::uint32_t firmwareVersion() const { return LoadU32(b_ + kFirmwareVersionOffset); }
  std::string unitMode() const { return Text(kUnitModeOffset, kUnitModeSize); }
  std::int32_t tsCode() const { return LoadI32(b_ + kTsCodeOffset); }
  std::int32_t productionDay() const { return LoadI32(b_ + kProductionDayOffset); }
  std::int32_t command() const { return LoadI32(b_ + offsets::command); }
  std::int32_t transferLength() const { return LoadI32(b_ + offsets::transferLength); }

 private:
  std::string Text(std::size_t offset, std::size_t size) const;
  const std::uint8_t* b_;
};

// The first 512 bytes of an upload's data.
class UploadHeader {
 public:
  static constexpr std::size_t kMagic = 0, kCommand = 4, kSize = 8, kChecksum = 12, kTimestamp = 16;

  explicit UploadHeader(std::uint8_t* bytes) : b_(bytes) {}  // 512 bytes

  std::uint32_t magic() const { return LoadU32(b_ + kMagic); }
  std::int32_t command() const { return LoadI32(b_ + kCommand); }
  std::int32_t size() const { return LoadI32(b_ + kSize); }
  std::uint32_t checksum() const { return LoadU32(b_ + kChecksum); }
  double timestamp() const { return LoadF64(b_ + kTimestamp); }

  void setMagic(std::uint32_t v) const { StoreU32(b_ + kMagic, v); }
  void setCommand(std::int32_t v) const { StoreI32(b_ + kCommand, v); }
  void setSize(std::int32_t v) const { StoreI32(b_ + kSize, v); }
  void setChecksum(std::uint32_t v) const { StoreU32(b_ + kChecksum, v); }
  void setTimestamp(double v) const { StoreF64(b_ + kTimestamp, v); }

 private:
  std::uint8_t* b_;
};

// True when the frame's first word is the "SoF" or the "SYS" word.
bool IsDeviceMagic(std::span<const std::uint8_t, kFrameSize> frame);
inline bool IsDeviceMagic(const Frame& f) { return IsDeviceMagic(std::span<const std::uint8_t, kFrameSize>(f)); }

// The frame half of PrepareRequest: "SoF" into magic, the code into command,
// 0 into transferLength; no other byte is touched.
void PrepareRequestFrame(std::int32_t command, ControlFrame frame);

// transferLength of the announcement of a payload of `size` bytes: the size
// rounded up to a multiple of 512, plus 512 for the header.
std::int64_t PaddedLength(std::int64_t size);

// Fills UploadHeader.checksum of `staged` (header plus padded payload,
// paddedLength bytes): the sum of the header's magic, command and size words
// and of every payload word, modulo 2^32. Returns the checksum.
std::uint32_t UploadChecksum(std::int64_t paddedLength, std::uint8_t* staged);

// Copies `size` bytes from `from` to `to` (which must not overlap) and
// returns the sum of the copied bytes as little-endian 32-bit words, a last
// partial word filled up with zeros, modulo 2^32: the payload's share of
// the upload checksum, summed while the bytes pass by.
std::uint32_t CopySummingWords(std::uint8_t* to, const std::uint8_t* from, std::size_t size);

// Local date and time as days since 1899-12-30 00:00, with the time of day
// (milliseconds included) as the fraction.
double MakeTimestamp(const platform::LocalDateTime& t);

// "a.b.c.d" from the most significant byte down.
std::string FormatVersion(std::uint32_t version);

// The frames the updater builds from scratch (zero apart from the fields
// named): keep-alive, end of session, register write, wake datagram, and the
// two Ethernet frames whose bytes after the magic are zero.
Frame MakeKeepAliveFrame();
Frame MakeEndSessionFrame();
Frame MakeRegisterFrame(std::int32_t reg, std::int32_t value);
Frame MakeWakeFrame();
Frame MakeMagicOnlyFrame(std::uint32_t magic);
Frame MakeSysInfoRequestFrame();

}  // namespace nimbrel::protocol
