#pragma once
// The scanner's System Info record: 512 bytes of identity, network settings
// and machine parameters, also the format of backup.dmp. The greeting frame
// carries its identity fields at the same offsets.
//
// The layout is declared once, below, as typed field descriptors. Every read
// and write goes through a view over a span of bytes and is checked against
// that span, which may be shorter than a whole record (a record file of the
// wrong length, the 332-byte default records): a field that does not fit
// reads as nothing and refuses to be written. All integers are
// little-endian, whatever the host.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace nimbrel::unit {

inline constexpr std::size_t kSystemInfoSize = 512;

// An 8-bit text, NUL-terminated within its field.
struct TextField {
  std::size_t offset;
  std::size_t width;
};
struct UInt32Field {
  std::size_t offset;
  static constexpr std::size_t width = 4;
};
struct Int32Field {
  std::size_t offset;
  static constexpr std::size_t width = 4;
};
// Four single bytes in storage order: a version (b0..b3, read b3.b2.b1.b0)
// or an IPv4 address (first octet first).
struct ByteQuadField {
  std::size_t offset;
  static constexpr std::size_t width = 4;
};

using ByteQuad = std::array<std::uint8_t, 4>;

// "b3.b2.b1.b0": the version bytes 23, 0, 0, 1 read "1.0.0.23".
std::string VersionText(const ByteQuad& version);

// Read-only view of a System Info record. The view does not own the bytes;
// they must outlive it.
class SystemInfoView {
 public:
  static constexpr TextField magic{0, 4};
  static constexpr UInt32Field recordCode{4};
  static constexpr UInt32Field recordSize{8};
  static constexpr UInt32Field stamp{12};
  static constexpr TextField vendor{20, 40};
  static constexpr TextField model{60, 40};
  static constexpr TextField pn{100, 20};
  static constexpr ByteQuadField infoVersion{120};
  static constexpr ByteQuadField updaterVersion{124};
  static constexpr ByteQuadField firmwareVersion{128};
  static constexpr TextField unitMode{132, 20};
  static constexpr Int32Field tsCode{152};
  static constexpr Int32Field productionDay{156};
  static constexpr ByteQuadField ipAddress{160};
  static constexpr ByteQuadField subnetMask{164};
  static constexpr ByteQuadField gateway{168};
  static constexpr Int32Field paramCount{172};
  static constexpr Int32Field autotrimOff{180};
  static constexpr Int32Field motorParam1{188};
  static constexpr Int32Field motorParam2{208};
  static constexpr Int32Field motorParam3{216};
  static constexpr Int32Field fThetaParam{220};
  static constexpr Int32Field motorParam4{224};
  static constexpr Int32Field motorParam5{228};
  static constexpr Int32Field motorParam6{232};
  static constexpr Int32Field motorParam7{236};
  static constexpr Int32Field motorParam8{240};
  static constexpr Int32Field motorParam9{248};
  static constexpr Int32Field motorParam10{256};
  static constexpr Int32Field autotrimOff2{288};
  static constexpr Int32Field lcdType{332};
  // Thirteen words that the firmware reads as one parameter block, split
  // around `autotrimOff2` and `lcdType`.
  static constexpr std::array<Int32Field, 13> fixedParams{{
      {284}, {292}, {296}, {300}, {304}, {308}, {312},
      {316}, {320}, {324}, {328}, {336}, {340},
  }};
  static constexpr Int32Field command{504};
  static constexpr Int32Field transferLength{508};

  explicit SystemInfoView(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}

  std::size_t Size() const noexcept { return bytes_.size(); }
  std::span<const std::uint8_t> Bytes() const noexcept { return bytes_; }

  template <typename Field>
  bool Fits(const Field& field) const noexcept {
    return field.offset <= bytes_.size() && field.width <= bytes_.size() - field.offset;
  }

  // The text up to its first NUL, or the whole field when it has none.
  std::optional<std::string> Get(const TextField& field) const;
  std::optional<std::uint32_t> Get(const UInt32Field& field) const;
  std::optional<std::int32_t> Get(const Int32Field& field) const;
  std::optional<ByteQuad> Get(const ByteQuadField& field) const;

 private:
  std::span<const std::uint8_t> bytes_;
};

// Writable view of a System Info record. A write changes the field's bytes
// and nothing else; it returns false, and changes nothing, when the field
// does not fit the span. Like std::span, a const view still writes: the
// bytes belong to whoever holds them, not to the view.
class SystemInfo : public SystemInfoView {
 public:
  explicit SystemInfo(std::span<std::uint8_t> bytes) noexcept
      : SystemInfoView(bytes), mutableBytes_(bytes) {}

  std::span<std::uint8_t> MutableBytes() const noexcept { return mutableBytes_; }

  // Writes the text and one NUL; the bytes after the NUL stay as they were.
  // Refused when the text and its NUL do not fit in the field.
  bool Set(const TextField& field, std::string_view text) const;
  bool Set(const UInt32Field& field, std::uint32_t value) const;
  bool Set(const Int32Field& field, std::int32_t value) const;
  bool Set(const ByteQuadField& field, const ByteQuad& value) const;

 private:
  std::span<std::uint8_t> mutableBytes_;
};

}  // namespace nimbrel::unit
