#include "unit/SystemInfo.h"

#include <algorithm>
#include <cstring>

namespace nimbrel::unit {

namespace {

std::uint32_t LoadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void StoreLe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

}  // namespace

std::string VersionText(const ByteQuad& version) {
  return std::to_string(version[3]) + '.' + std::to_string(version[2]) + '.' +
         std::to_string(version[1]) + '.' + std::to_string(version[0]);
}

std::optional<std::string> SystemInfoView::Get(const TextField& field) const {
  if (!Fits(field)) return std::nullopt;
  const auto* begin = bytes_.data() + field.offset;
  const auto* end = std::find(begin, begin + field.width, std::uint8_t{0});
  return std::string(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(end - begin));
}

std::optional<std::uint32_t> SystemInfoView::Get(const UInt32Field& field) const {
  if (!Fits(field)) return std::nullopt;
  return LoadLe32(bytes_.data() + field.offset);
}

std::optional<std::int32_t> SystemInfoView::Get(const Int32Field& field) const {
  if (!Fits(field)) return std::nullopt;
  return static_cast<std::int32_t>(LoadLe32(bytes_.data() + field.offset));
}

std::optional<ByteQuad> SystemInfoView::Get(const ByteQuadField& field) const {
  if (!Fits(field)) return std::nullopt;
  ByteQuad quad;
  std::memcpy(quad.data(), bytes_.data() + field.offset, quad.size());
  return quad;
}

bool SystemInfo::Set(const TextField& field, std::string_view text) const {
  if (!Fits(field) || text.size() >= field.width) return false;
  std::uint8_t* p = mutableBytes_.data() + field.offset;
  p = std::copy(text.begin(), text.end(), p);
  *p = 0;
  return true;
}

bool SystemInfo::Set(const UInt32Field& field, std::uint32_t value) const {
  if (!Fits(field)) return false;
  StoreLe32(mutableBytes_.data() + field.offset, value);
  return true;
}

bool SystemInfo::Set(const Int32Field& field, std::int32_t value) const {
  if (!Fits(field)) return false;
  StoreLe32(mutableBytes_.data() + field.offset, static_cast<std::uint32_t>(value));
  return true;
}

bool SystemInfo::Set(const ByteQuadField& field, const ByteQuad& value) const {
  if (!Fits(field)) return false;
  std::memcpy(mutableBytes_.data() + field.offset, value.data(), value.size());
  return true;
}

}  // namespace nimbrel::unit
