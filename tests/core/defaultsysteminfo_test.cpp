#include "unit/DefaultSystemInfo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "unit/SystemInfo.h"

namespace nimbrel::unit {
namespace {

std::uint32_t Le32At(const std::array<std::uint8_t, kDefaultSystemSettingSize>& b, std::size_t offset) {
  return static_cast<std::uint32_t>(b[offset]) | static_cast<std::uint32_t>(b[offset + 1]) << 8 |
         static_cast<std::uint32_t>(b[offset + 2]) << 16 | static_cast<std::uint32_t>(b[offset + 3]) << 24;
}

struct WordCase {
  std::size_t offset;
  std::int32_t value;
};

// Words of both default records, by offset, named and unnamed alike.
const WordCase kWords[] = {
    {4, 0x00300000}, {8, 332},        {12, 5852044},   {16, 0},         {152, 1},         {156, 1},
    {172, 0},        {176, 0},        {180, 1},        {184, 1},        {188, 0},         {192, 100},
    {196, 200},      {200, 4288},     {204, 20757},    {208, 18500},    {212, 150000},    {216, 2000},
    {220, 46000000}, {224, 3100},     {228, 220000000}, {232, 20000000}, {236, 25000000}, {240, 70000000},
    {244, 41999999}, {248, 15420},    {252, 59000},    {256, 118500000}, {260, 44},       {264, 40},
    {268, 0},        {272, 10},       {276, 20},       {280, 30},       {284, 3328},      {288, 1},
    {292, 344},      {296, 376},      {300, 484},      {304, 420},      {308, 752},       {312, 628},
    {316, 688},      {320, 888},      {324, 768},      {328, 1376},
};

TEST(DefaultSystemSetting, NamesAndSize) {
  EXPECT_EQ(DefaultSystemSettingName(DefaultSystemSetting::TX), "TXDEFAULTSYSTEMSETTING");
  EXPECT_EQ(DefaultSystemSettingName(DefaultSystemSetting::QU), "QUDEFAULTSYSTEMSETTING");
  EXPECT_EQ(MakeDefaultSystemSetting(DefaultSystemSetting::TX).size(), 332u);
}

TEST(DefaultSystemSetting, WordsOfBothRecords) {
  for (DefaultSystemSetting which : kDefaultSystemSettings) {
    const auto record = MakeDefaultSystemSetting(which);
    for (const WordCase& w : kWords) {
      EXPECT_EQ(Le32At(record, w.offset), static_cast<std::uint32_t>(w.value))
          << DefaultSystemSettingName(which) << " at " << w.offset;
    }
  }
}

TEST(DefaultSystemSetting, IdentityBytes) {
  const auto tx = MakeDefaultSystemSetting(DefaultSystemSetting::TX);
  // magic, versions and network settings, byte for byte
  const std::vector<std::uint8_t> head(tx.begin(), tx.begin() + 4);
  EXPECT_EQ(head, (std::vector<std::uint8_t>{'S', 'o', 'F', 0}));
  const std::vector<std::uint8_t> versions(tx.begin() + 120, tx.begin() + 132);
  EXPECT_EQ(versions, (std::vector<std::uint8_t>{1, 0, 0, 1, 23, 0, 0, 1, 23, 0, 0, 1}));
  const std::vector<std::uint8_t> mask(tx.begin() + 164, tx.begin() + 168);
  EXPECT_EQ(mask, (std::vector<std::uint8_t>{255, 255, 255, 0}));
  // The scanner's own address and gateway share its private network.
  EXPECT_EQ(tx[160], 192);
  EXPECT_EQ(tx[161], 168);
  EXPECT_EQ(tx[160], tx[168]);
  EXPECT_EQ(tx[161], tx[169]);
  EXPECT_EQ(tx[162], tx[170]);
  EXPECT_NE(tx[163], tx[171]);

  const SystemInfoView v{tx};
  EXPECT_EQ(v.Get(SystemInfo::vendor), "Tavix");
  EXPECT_EQ(v.Get(SystemInfo::model), "Brixel Dental");
  EXPECT_EQ(v.Get(SystemInfo::pn), "QV47-00CH00-100200");
  EXPECT_EQ(v.Get(SystemInfo::unitMode), "normal unit");
  // Text fields are zero behind their text.
  EXPECT_EQ(tx[20 + 5], 0);
  EXPECT_EQ(tx[20 + 39], 0);
  EXPECT_EQ(tx[132 + 19], 0);
}

TEST(DefaultSystemSetting, QuDiffersOnlyInVendorModelAndPn) {
  const auto tx = MakeDefaultSystemSetting(DefaultSystemSetting::TX);
  const auto qu = MakeDefaultSystemSetting(DefaultSystemSetting::QU);
  const SystemInfoView v{qu};
  EXPECT_EQ(v.Get(SystemInfo::vendor), "Quintora");
  EXPECT_EQ(v.Get(SystemInfo::model), "Halvenmark");
  EXPECT_EQ(v.Get(SystemInfo::pn), "QV47-01CH00-100200");
  for (std::size_t i = 0; i < tx.size(); ++i) {
    if (i >= 20 && i < 120) continue;  // vendor, model, pn
    EXPECT_EQ(tx[i], qu[i]) << "byte " << i;
  }
}

}  // namespace
}  // namespace nimbrel::unit
