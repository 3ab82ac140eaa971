#include "unit/SystemInfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "unit/DefaultSystemInfo.h"

namespace nimbrel::unit {
namespace {

using Record = std::array<std::uint8_t, kSystemInfoSize>;

using AnyField = std::variant<TextField, UInt32Field, Int32Field, ByteQuadField>;

struct FieldCase {
  const char* name;
  AnyField field;
  std::size_t offset;
  std::size_t width;
};

// Every named field, its offset and width in the record.
const std::vector<FieldCase>& NamedFields() {
  using S = SystemInfo;
  static const std::vector<FieldCase> cases = {
      {"magic", S::magic, 0, 4},
      {"recordCode", S::recordCode, 4, 4},
      {"recordSize", S::recordSize, 8, 4},
      {"stamp", S::stamp, 12, 4},
      {"vendor", S::vendor, 20, 40},
      {"model", S::model, 60, 40},
      {"pn", S::pn, 100, 20},
      {"infoVersion", S::infoVersion, 120, 4},
      {"updaterVersion", S::updaterVersion, 124, 4},
      {"firmwareVersion", S::firmwareVersion, 128, 4},
      {"unitMode", S::unitMode, 132, 20},
      {"tsCode", S::tsCode, 152, 4},
      {"productionDay", S::productionDay, 156, 4},
      {"ipAddress", S::ipAddress, 160, 4},
      {"subnetMask", S::subnetMask, 164, 4},
      {"gateway", S::gateway, 168, 4},
      {"paramCount", S::paramCount, 172, 4},
      {"autotrimOff", S::autotrimOff, 180, 4},
      {"motorParam1", S::motorParam1, 188, 4},
      {"motorParam2", S::motorParam2, 208, 4},
      {"motorParam3", S::motorParam3, 216, 4},
      {"fThetaParam", S::fThetaParam, 220, 4},
      {"motorParam4", S::motorParam4, 224, 4},
      {"motorParam5", S::motorParam5, 228, 4},
      {"motorParam6", S::motorParam6, 232, 4},
      {"motorParam7", S::motorParam7, 236, 4},
      {"motorParam8", S::motorParam8, 240, 4},
      {"motorParam9", S::motorParam9, 248, 4},
      {"motorParam10", S::motorParam10, 256, 4},
      {"fixedParams[0]", S::fixedParams[0], 284, 4},
      {"autotrimOff2", S::autotrimOff2, 288, 4},
      {"fixedParams[1]", S::fixedParams[1], 292, 4},
      {"fixedParams[10]", S::fixedParams[10], 328, 4},
      {"lcdType", S::lcdType, 332, 4},
      {"fixedParams[11]", S::fixedParams[11], 336, 4},
      {"fixedParams[12]", S::fixedParams[12], 340, 4},
      {"command", S::command, 504, 4},
      {"transferLength", S::transferLength, 508, 4},
  };
  return cases;
}

// Writes a recognisable value through the field's accessor and returns the
// bytes it is expected to produce.
std::vector<std::uint8_t> WriteProbe(const SystemInfo& r, const AnyField& field) {
  return std::visit(
      [&](const auto& f) -> std::vector<std::uint8_t> {
        using F = std::decay_t<decltype(f)>;
        if constexpr (std::is_same_v<F, TextField>) {
          const std::string text(f.width - 1, 'x');
          EXPECT_TRUE(r.Set(f, text));
          std::vector<std::uint8_t> bytes(text.begin(), text.end());
          bytes.push_back(0);
          return bytes;
        } else if constexpr (std::is_same_v<F, UInt32Field>) {
          EXPECT_TRUE(r.Set(f, 0xA1B2C3D4u));
          return {0xD4, 0xC3, 0xB2, 0xA1};
        } else if constexpr (std::is_same_v<F, Int32Field>) {
          EXPECT_TRUE(r.Set(f, -2));
          return {0xFE, 0xFF, 0xFF, 0xFF};
        } else {
          EXPECT_TRUE(r.Set(f, ByteQuad{1, 2, 3, 4}));
          return {1, 2, 3, 4};
        }
      },
      field);
}

TEST(SystemInfo, EachFieldWritesExactlyItsOwnBytesLittleEndian) {
  for (const FieldCase& c : NamedFields()) {
    SCOPED_TRACE(c.name);
    Record record;
    record.fill(0x55);
    const SystemInfo r{record};
    const std::vector<std::uint8_t> expected = WriteProbe(r, c.field);
    ASSERT_EQ(expected.size(), c.width);
    for (std::size_t i = 0; i < record.size(); ++i) {
      const bool inside = i >= c.offset && i < c.offset + c.width;
      ASSERT_EQ(record[i], inside ? expected[i - c.offset] : 0x55) << "byte " << i;
    }
  }
}

TEST(SystemInfo, FixedParamsCoverThirteenWordsAroundTheirNeighbours) {
  std::vector<std::size_t> offsets;
  for (const Int32Field& f : SystemInfo::fixedParams) offsets.push_back(f.offset);
  EXPECT_EQ(offsets, (std::vector<std::size_t>{284, 292, 296, 300, 304, 308, 312, 316, 320, 324, 328, 336, 340}));
}

TEST(SystemInfo, NumbersReadBackAsWritten) {
  Record record{};
  const SystemInfo r{record};
  ASSERT_TRUE(r.Set(SystemInfo::tsCode, -2147483647 - 1));
  ASSERT_TRUE(r.Set(SystemInfo::recordCode, 0xFFFFFFFFu));
  ASSERT_TRUE(r.Set(SystemInfo::ipAddress, ByteQuad{10, 20, 30, 40}));
  EXPECT_EQ(r.Get(SystemInfo::tsCode), -2147483647 - 1);
  EXPECT_EQ(r.Get(SystemInfo::recordCode), 0xFFFFFFFFu);
  EXPECT_EQ(r.Get(SystemInfo::ipAddress), (ByteQuad{10, 20, 30, 40}));
}

TEST(SystemInfo, ShorterTextKeepsTheOldTailAfterItsNul) {
  auto record = MakeDefaultSystemSetting(DefaultSystemSetting::TX);
  const SystemInfo r{record};
  ASSERT_TRUE(r.Set(SystemInfo::unitMode, "_exdemo_"));
  ASSERT_TRUE(r.Set(SystemInfo::unitMode, "normal"));
  EXPECT_EQ(r.Get(SystemInfo::unitMode), "normal");
  const std::uint8_t expected[] = {'n', 'o', 'r', 'm', 'a', 'l', 0, '_', 0, 'i', 't', 0};
  EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), record.begin() + 132));

  ASSERT_TRUE(r.Set(SystemInfo::model, "Brixel Dental Long Model Name"));
  ASSERT_TRUE(r.Set(SystemInfo::vendor, "ZK.co ltd"));
  EXPECT_EQ(r.Get(SystemInfo::vendor), "ZK.co ltd");
  EXPECT_EQ(record[20 + 9], 0);
  EXPECT_EQ(r.Get(SystemInfo::model), "Brixel Dental Long Model Name");
}

TEST(SystemInfo, TextWithoutNulEndsAtItsField) {
  Record record{};
  const SystemInfo r{record};
  std::fill(record.begin() + 100, record.begin() + 132, std::uint8_t{'A'});
  EXPECT_EQ(r.Get(SystemInfo::pn), std::string(20, 'A'));
}

TEST(SystemInfo, TextThatLeavesNoRoomForItsNulIsRefused) {
  Record record{};
  record[132 + 19] = 0x77;
  record[152] = 0x66;
  const SystemInfo r{record};
  EXPECT_FALSE(r.Set(SystemInfo::unitMode, std::string(20, 'z')));
  EXPECT_TRUE(std::all_of(record.begin() + 132, record.begin() + 151, [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(record[151], 0x77);
  EXPECT_EQ(record[152], 0x66);
  EXPECT_TRUE(r.Set(SystemInfo::unitMode, std::string(19, 'z')));
  EXPECT_EQ(record[151], 0);
}

TEST(SystemInfo, FieldsBeyondAShortBufferAreRefused) {
  // The default records: everything up to the fixed parameters fits, lcdType does not.
  std::vector<std::uint8_t> bytes(kDefaultSystemSettingSize, 0xAB);
  const SystemInfo r{bytes};
  EXPECT_TRUE(r.Fits(SystemInfo::fixedParams[10]));
  EXPECT_FALSE(r.Fits(SystemInfo::lcdType));
  EXPECT_FALSE(r.Set(SystemInfo::lcdType, 2));
  EXPECT_FALSE(r.Set(SystemInfo::fixedParams[12], 1410));
  EXPECT_FALSE(r.Get(SystemInfo::lcdType).has_value());
  EXPECT_FALSE(r.Get(SystemInfo::transferLength).has_value());

  // A field cut by the end of the buffer is refused whole.
  std::vector<std::uint8_t> cut(154, 0xAB);
  const SystemInfo c{cut};
  EXPECT_FALSE(c.Set(SystemInfo::tsCode, 5));
  EXPECT_FALSE(c.Get(SystemInfo::tsCode).has_value());
  std::vector<std::uint8_t> cutText(110, 0xAB);
  const SystemInfo t{cutText};
  EXPECT_FALSE(t.Set(SystemInfo::pn, "QV47"));
  EXPECT_FALSE(t.Get(SystemInfo::pn).has_value());
  EXPECT_TRUE(std::all_of(cut.begin(), cut.end(), [](std::uint8_t b) { return b == 0xAB; }));
  EXPECT_TRUE(std::all_of(cutText.begin(), cutText.end(), [](std::uint8_t b) { return b == 0xAB; }));

  const SystemInfoView empty{std::span<const std::uint8_t>{}};
  EXPECT_FALSE(empty.Get(SystemInfo::magic).has_value());
}

TEST(SystemInfo, VersionReadsHighestByteFirst) {
  EXPECT_EQ(VersionText({1, 0, 0, 1}), "1.0.0.1");
  EXPECT_EQ(VersionText({23, 0, 0, 1}), "1.0.0.23");
  EXPECT_EQ(VersionText({5, 2, 1, 1}), "1.1.2.5");
  EXPECT_EQ(VersionText({255, 0, 0, 0}), "0.0.0.255");
}

}  // namespace
}  // namespace nimbrel::unit
