// The constant tables of unit identity and System Info, row by row: the
// model-suffix table, the LOT options, the standard values and the step
// motor's rows. Each row is checked where it shows (the log line and the
// selections it makes, the record fields a patch writes) and, where a
// behaviour cannot tell two rows apart, as data.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "Harness.h"
#include "unit/BackupPatch.h"
#include "unit/DefaultSystemInfo.h"
#include "unit/PartNumber.h"
#include "unit/SystemInfo.h"
#include "unit/TsCode.h"
#include "unit_support.h"

namespace nimbrel::testing {
namespace {

using unit::SystemInfo;

// ---- Model suffixes (characters 9-10 of the part number) ----

struct SuffixRow {
  std::vector<const char*> codes;
  std::string line;
  int unitType;  // 100: the latest model, which selects the last item
};

const SuffixRow kSuffixRows[] = {
    {{"AB", "01"}, "wm 20mm model(QV47-XXXXAB or QV47-XXXX01)", 2},
    {{"AC", "02"}, "ws 10mm model(QV47-XXXXAC or QV47-XXXX02)", 3},
    {{"AD", "03"}, "sst 10mm model(QV47-XXXXAD or QV47-XXXX03)", 4},
    {{"AE", "04"}, "ws wide model(QV47-XXXXAE or QV47-XXXX04)", 5},
    {{"AF", "05"}, "ws ROHS model(QV47-XXXXAF or QV47-XXXX05)", 6},
    {{"AG", "06"}, "ws ROHS f-\xA5\xE8 model(QV47-XXXXAG or QV47-XXXX06)", 7},
    {{"AH", "07"}, " AH  model(QV47-XXXXAH or QV47-XXXX07)", 8},
    {{"AJ", "08", "AI"}, " AJ  model(QV47-XXXXAJ or QV47-XXXX08)", 9},
    {{"AK", "09"}, "unknown model[8]", 100},
    {{"ZZ", "10", "A0", "0A", "aa"}, "unknown model[99]", 100},
    // Screw units: the month letter (character 8) tells the two apart.
    {{"AA", "00"}, "screw model", 0},
};

TEST(ModelSuffixTable, EveryCodeLogsItsLineAndSelectsItsBase) {
  for (const SuffixRow& row : kSuffixRows) {
    for (const char* code : row.codes) {
      const std::string pn = std::string("QV47-02HC") + code + "-000001";
      SCOPED_TRACE(pn);
      const unit::ModelLookup found = unit::LookupModel(unit::PnField(pn));
      EXPECT_EQ(found.line, row.line);
      EXPECT_EQ(found.unitType, row.unitType == 100 ? unit::kLatestUnitType : row.unitType);

      Harness h;
      auto& f = h.Start();
      f.IdentifyUnit(Greeting(pn));
      EXPECT_EQ(h.Log().back(), row.line);
      EXPECT_EQ(f.rgFPGA.ItemIndex(), row.unitType == 100 ? 9 : row.unitType);
    }
  }
}

TEST(ModelSuffixTable, ScrewUnitsFromMonthLetterKOnAreTheSecondGeneration) {
  const std::pair<char, int> months[] = {{'A', 0}, {'J', 0}, {'5', 0}, {'K', 1}, {'L', 1}, {'N', 1}, {'z', 1}};
  for (const char* code : {"AA", "00"}) {
    for (auto [month, unitType] : months) {
      const std::string pn = std::string("QV47-02H") + month + code + "-000001";
      SCOPED_TRACE(pn);
      const unit::ModelLookup found = unit::LookupModel(unit::PnField(pn));
      EXPECT_EQ(found.line, "screw model");
      EXPECT_EQ(found.unitType, unitType);
    }
  }
}

// ---- The options a LOT selection sets ----

struct LotRow {
  int step, main, rohs, tray, ftheta;
};

const LotRow kLotRows[] = {
    {0, 0, 0, 0, 0},  // "AA v1"
    {0, 0, 0, 0, 0},  // "AA v2"
    {1, 1, 0, 0, 0},  // "AB"
    {3, 1, 0, 0, 0},  // "AC"
    {2, 1, 0, 0, 0},  // "AD"
    {3, 2, 0, 0, 0},  // "AE"
    {3, 2, 1, 0, 0},  // "AF"
    {3, 2, 1, 1, 1},  // "AG"
    {4, 2, 1, 2, 1},  // "AH"
    {5, 2, 1, 2, 1},  // "AJ"
};

TEST(LotOptionTable, EachLotSetsItsRowFromOtherSelections) {
  for (int lot = 0; lot < 10; ++lot) {
    SCOPED_TRACE("LOT " + std::to_string(lot));
    const LotRow& row = kLotRows[lot];
    Harness h;
    auto& f = h.Start();
    // Every option away from the row first; SLA7078 before the rest, as its
    // own rule moves the step motor and the main board.
    f.rgPowerBoard.SetItemIndex(1);
    f.rgStepMotor.SetItemIndex((row.step + 1) % 6);
    f.rgMainBoard.SetItemIndex((row.main + 1) % 3);
    f.rgROHSLCD.SetItemIndex(1 - row.rohs);
    f.rgAGDoor.SetItemIndex((row.tray + 1) % 3);
    f.rgFTheta.SetItemIndex(1 - row.ftheta);

    f.rgLOT.SetItemIndex(lot);
    EXPECT_EQ(f.rgStepMotor.ItemIndex(), row.step);
    EXPECT_EQ(f.rgMainBoard.ItemIndex(), row.main);
    EXPECT_EQ(f.rgROHSLCD.ItemIndex(), row.rohs);
    EXPECT_EQ(f.rgAGDoor.ItemIndex(), row.tray);
    EXPECT_EQ(f.rgFTheta.ItemIndex(), row.ftheta);
    // "AJ" keeps the power board; every earlier LOT sets STK672.
    EXPECT_EQ(f.rgPowerBoard.ItemIndex(), lot == 9 ? 1 : 0);
  }
}

// ---- Standard values and the step motor's rows ----

using ValueRow = std::array<std::int32_t, 10>;  // motorParam1 .. motorParam10

const ValueRow kStandardValues[] = {
    {29, 18197, 2000, 3100, 220000000, 20000000, 10000000, 70000000, 15420, 98500000},   // 0 "AA v1"
    {29, 18197, 2000, 3100, 220000000, 20000000, 10000000, 70000000, 15420, 98500000},   // 1 "AA v2", screw
    {29, 32590, 6500, 8500, 320000000, 10000000, 12000000, 120000000, 2314, 176050000},  // 2 "AB", wm 20mm
    {29, 17181, 3200, 4000, 280000000, 20000000, 19000000, 85000000, 2307, 169000000},   // 3 "AC", ws 10mm(~AG)
    {10, 19200, 1700, 4000, 300000000, 20000000, 17000000, 50000000, 8224, 88000000},    // 4 "AD", sst 10mm
    {29, 17181, 3200, 4000, 280000000, 20000000, 19000000, 85000000, 2307, 169000000},   // 5 "AE"
    {29, 17181, 3200, 4000, 280000000, 20000000, 19000000, 85000000, 2307, 169000000},   // 6 "AF"
    {29, 17181, 3200, 4000, 280000000, 20000000, 19000000, 95000000, 2307, 169000000},   // 7 "AG"
    {29, 17181, 3200, 4000, 280000000, 20000000, 30000000, 95000000, 4355, 175000000},   // 8 "AH", "AJ", ws 10mm(AH)
    {29, 17181, 3200, 4000, 280000000, 20000000, 30000000, 95000000, 61488, 175000000},  // 9 SAEHAN
};

const int kStepMotorRows[] = {1, 2, 4, 3, 8, 9};  // screw, wm 20mm, sst 10mm, ws 10mm(~AG), ws 10mm(AH), SAEHAN

// A 512-byte record holding the default System Info record.
std::vector<std::uint8_t> DefaultRecord() {
  std::vector<std::uint8_t> r(512, 0);
  const auto def = unit::MakeDefaultSystemSetting(unit::DefaultSystemSetting::TX);
  std::copy_n(def.begin(), std::min<std::size_t>(def.size(), r.size()), r.begin());
  return r;
}

TEST(StandardValueTable, EveryRowHoldsItsValues) {
  // Rows 0, 5 and 6 repeat others and most of their values are written by
  // no patch: as data is the only way to see them.
  ASSERT_EQ(unit::StandardValueTable.size(), std::size(kStandardValues));
  for (std::size_t r = 0; r < std::size(kStandardValues); ++r) {
    for (std::size_t k = 0; k < 10; ++k) {
      EXPECT_EQ(unit::StandardValueTable[r][k], kStandardValues[r][k]) << "row " << r << ", motorParam" << k + 1;
    }
  }
}

TEST(StandardValueTable, TheStandardPatchTakesTheLotsRow) {
  // motorParam1 always, motorParam7 when it is out of range, motorParam10
  // of the "AH" row; "AJ" and no LOT use the "AH" row.
  for (int lot = -1; lot < 10; ++lot) {
    SCOPED_TRACE("LOT " + std::to_string(lot));
    const ValueRow& row = kStandardValues[lot >= 0 && lot <= 8 ? lot : 8];
    Harness h;
    auto& f = h.Start();
    f.rgLOT.SetItemIndex(lot);
    auto record = DefaultRecord();
    ASSERT_TRUE(SystemInfo(record).Set(SystemInfo::motorParam1, 1));
    ASSERT_TRUE(SystemInfo(record).Set(SystemInfo::motorParam7, 1));
    ASSERT_TRUE(SystemInfo(record).Set(SystemInfo::motorParam10, 1));
    ASSERT_TRUE(f.PatchStandardValues(record));
    const SystemInfo info(record);
    EXPECT_EQ(*info.Get(SystemInfo::motorParam1), row[0]);
    EXPECT_EQ(*info.Get(SystemInfo::motorParam7), row[6]);
    EXPECT_EQ(*info.Get(SystemInfo::motorParam10), (lot < 0 || lot >= 8) ? row[9] : 1);
  }
}

TEST(StepMotorRowMap, EachStepMotorWritesItsRowIntoTheMotorFields) {
  for (int step = 0; step < 6; ++step) {
    SCOPED_TRACE("step motor " + std::to_string(step));
    EXPECT_EQ(unit::StepMotorRowMap[static_cast<std::size_t>(step)], kStepMotorRows[step]);
    Harness h;
    auto& f = h.Start();
    f.rgStepMotor.SetItemIndex((step + 1) % 6);
    f.connectTsCode = f.MakeTsCode();  // the code as greeted
    f.rgStepMotor.SetItemIndex(step);
    auto record = DefaultRecord();
    ASSERT_TRUE(f.PatchHardwareOptions(record));
    ASSERT_TRUE(h.Logged("update stepmotor values as standvalue"));
    const ValueRow& row = kStandardValues[kStepMotorRows[step]];
    for (std::size_t k = 0; k < 10; ++k) {
      EXPECT_EQ(*SystemInfo(record).Get(unit::kMotorParams[k]), row[k]) << "motorParam" << k + 1;
    }
  }
  EXPECT_EQ(unit::StepMotorRowMap.size(), std::size(kStepMotorRows));
}

}  // namespace
}  // namespace nimbrel::testing
