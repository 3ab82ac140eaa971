#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Harness.h"
#include "unit/BackupPatch.h"
#include "unit/DefaultSystemInfo.h"
#include "unit/SystemInfo.h"
#include "unit/TsCode.h"

namespace nimbrel::testing {
namespace {

namespace item = unit::item;
using unit::SystemInfo;
using Record = std::vector<std::uint8_t>;

// A 512-byte record holding the default System Info record.
Record DefaultRecord(std::size_t size = 512) {
  Record r(size, 0);
  const auto def = unit::MakeDefaultSystemSetting(unit::DefaultSystemSetting::TX);
  std::copy_n(def.begin(), std::min(def.size(), size), r.begin());
  return r;
}

std::int32_t Get(Record& r, const unit::Int32Field& f) { return *SystemInfo(r).Get(f); }
void Set(Record& r, const unit::Int32Field& f, std::int32_t v) { ASSERT_TRUE(SystemInfo(r).Set(f, v)); }

class PatchTest : public ::testing::Test {
 protected:
  void SetUp() override { form = &h.Start(); }
  std::size_t Count(const std::string& line) const {
    return static_cast<std::size_t>(std::count(h.Log().begin(), h.Log().end(), line));
  }
  Harness h;
  app::TfrmMain* form = nullptr;
  Record record = DefaultRecord();
};

TEST_F(PatchTest, StandardPatchWritesIdentityVersionsAndFixedWords) {
  form->rgFPGA.SetItemIndex(7);
  ASSERT_TRUE(form->PatchStandardValues(record));
  const SystemInfo info(record);
  EXPECT_EQ(*info.Get(SystemInfo::vendor), "ZK.co ltd");
  EXPECT_EQ(*info.Get(SystemInfo::model), "ZK Scanner");
  // "Brixel Dental" keeps its tail after the shorter text's NUL.
  EXPECT_EQ(record[60 + 11], 'a');
  EXPECT_EQ(record[60 + 12], 'l');
  EXPECT_EQ(*info.Get(SystemInfo::infoVersion), (unit::ByteQuad{1, 0, 0, 1}));
  EXPECT_EQ(*info.Get(SystemInfo::updaterVersion), (unit::ByteQuad{5, 2, 1, 1}));
  EXPECT_EQ(*info.Get(SystemInfo::paramCount), 4);
  const std::int32_t fixed[] = {3328, 343, 375, 484, 421, 750, 628, 685, 886, 771, 1370, 770, 1410};
  for (std::size_t i = 0; i < 13; ++i) EXPECT_EQ(*info.Get(SystemInfo::fixedParams[i]), fixed[i]) << i;
  EXPECT_EQ(*info.Get(SystemInfo::lcdType), 2);
  EXPECT_EQ(*info.Get(SystemInfo::motorParam1), 29);
  // Fields the patch does not name stay as they were.
  EXPECT_EQ(*info.Get(SystemInfo::pn), "QV47-00CH00-100200");
  EXPECT_EQ(*info.Get(SystemInfo::motorParam2), 18500);
  EXPECT_EQ(*info.Get(SystemInfo::tsCode), 1);
}

struct SolutionCase {
  int solution;
  const char* unitModeBefore;
  const char* unitModeAfter;
  std::int32_t autotrim;
};

class SolutionPatchTest : public PatchTest, public ::testing::WithParamInterface<SolutionCase> {};

TEST_P(SolutionPatchTest, SolutionDecidesUnitModeAndAutotrim) {
  const SolutionCase& c = GetParam();
  ASSERT_TRUE(SystemInfo(record).Set(SystemInfo::unitMode, c.unitModeBefore));
  form->rgSolution.SetItemIndex(c.solution);
  ASSERT_TRUE(form->PatchStandardValues(record));
  EXPECT_EQ(*SystemInfo(record).Get(SystemInfo::unitMode), c.unitModeAfter);
  EXPECT_EQ(Get(record, SystemInfo::autotrimOff), c.autotrim);
  EXPECT_EQ(Get(record, SystemInfo::autotrimOff2), c.autotrim);
  EXPECT_EQ(h.Logged("disable autotrim"), c.solution == 0);
}

INSTANTIATE_TEST_SUITE_P(Solutions, SolutionPatchTest,
                         ::testing::Values(SolutionCase{0, "_exdemo_", "normal", 1},
                                           SolutionCase{0, "normal unit", "normal unit", 1},
                                           SolutionCase{1, "normal unit", "_exdemo_", 0},
                                           SolutionCase{2, "normal", "_exdemo_", 0}));

TEST_F(PatchTest, NormalOverExdemoLeavesTheOldTail) {
  ASSERT_TRUE(SystemInfo(record).Set(SystemInfo::unitMode, "_exdemo_"));
  ASSERT_TRUE(form->PatchStandardValues(record));
  const std::string field(record.begin() + 132, record.begin() + 141);
  EXPECT_EQ(field, std::string("normal\0_\0", 9));
}

struct MotorCase {
  int lot;  // -1: none selected
  unit::Int32Field field;
  std::int32_t before;
  std::int32_t after;
};

class MotorStandardTest : public PatchTest, public ::testing::WithParamInterface<MotorCase> {};

TEST_P(MotorStandardTest, OutOfRangeValuesTakeTheLotsRow) {
  const MotorCase& c = GetParam();
  form->rgLOT.SetItemIndex(c.lot);
  Set(record, c.field, c.before);
  ASSERT_TRUE(form->PatchStandardValues(record));
  EXPECT_EQ(Get(record, c.field), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Lots, MotorStandardTest,
    ::testing::Values(MotorCase{item::kLotAH, SystemInfo::motorParam7, 40000000, 30000000},
                      MotorCase{item::kLotAJ, SystemInfo::motorParam7, 40000000, 30000000},  // row 8
                      MotorCase{-1, SystemInfo::motorParam7, 40000000, 30000000},            // row 8
                      MotorCase{item::kLotAG, SystemInfo::motorParam7, 40000000, 40000000},
                      MotorCase{3, SystemInfo::motorParam7, 15000000, 19000000},             // "AC"
                      MotorCase{item::kLotAH, SystemInfo::motorParam7, 25000000, 25000000},
                      MotorCase{item::kLotAH, SystemInfo::motorParam10, 160000000, 175000000},
                      MotorCase{item::kLotAJ, SystemInfo::motorParam10, 160000000, 175000000},
                      MotorCase{item::kLotAG, SystemInfo::motorParam10, 160000000, 160000000},
                      MotorCase{2, SystemInfo::motorParam10, 160000000, 160000000},
                      MotorCase{4, SystemInfo::motorParam1, 0, 10},  // "AD"
                      MotorCase{item::kLotAJ, SystemInfo::motorParam1, 0, 29}));

struct FThetaCase {
  int unitType;
  std::int32_t before, after;
  std::int32_t lcdType;
};

class FThetaStandardTest : public PatchTest, public ::testing::WithParamInterface<FThetaCase> {};

TEST_P(FThetaStandardTest, FThetaAndLcdFollowTheUnitType) {
  const FThetaCase& c = GetParam();
  form->rgFPGA.SetItemIndex(c.unitType);
  Set(record, SystemInfo::fThetaParam, c.before);
  ASSERT_TRUE(form->PatchStandardValues(record));
  EXPECT_EQ(Get(record, SystemInfo::fThetaParam), c.after);
  EXPECT_EQ(Get(record, SystemInfo::lcdType), c.lcdType);
}

INSTANTIATE_TEST_SUITE_P(UnitTypes, FThetaStandardTest,
                         ::testing::Values(FThetaCase{7, 46000000, 485, 2},   // "AG"
                                           FThetaCase{9, -1, 485, 2},         // "AJ"
                                           FThetaCase{8, 500, 500, 2},        // "AH"
                                           FThetaCase{5, 46000000, 46000000, 1},  // "AE"
                                           FThetaCase{5, 500, 100000, 1},
                                           FThetaCase{6, 999, 100000, 2},     // "AF"
                                           FThetaCase{-1, 1000, 1000, 1}));   // none selected

TEST_F(PatchTest, StandardPatchRefusesAShortRecord) {
  Record shortRecord = DefaultRecord(343);
  const Record before = shortRecord;
  EXPECT_FALSE(form->PatchStandardValues(shortRecord));
  EXPECT_EQ(shortRecord, before);
  EXPECT_EQ(h.Log().back(), "System Info record too short to patch: 343 bytes");
}

class HardwarePatchTest : public PatchTest {
 protected:
  // The unit greeted as an "AG" with that generation's options.
  void SetUp() override {
    PatchTest::SetUp();
    form->rgFPGA.SetItemIndex(7);
    form->connectTsCode = form->MakeTsCode();
  }
};

TEST_F(HardwarePatchTest, NothingChangedWritesOnlyCodeLcdAndFTheta) {
  const Record before = record;
  ASSERT_TRUE(form->PatchHardwareOptions(record));
  EXPECT_TRUE(h.trace.Contains("changed[step 0/main 0/rohs 0/agdoor 0/ftheta 0"));
  EXPECT_TRUE(h.trace.Contains("old tsCode : 0x080111230"));
  EXPECT_TRUE(h.trace.Contains("new tsCode : 0x080111230"));
  EXPECT_TRUE(h.Logged("pathcData2..."));
  EXPECT_EQ(h.Log().back(), "new tsCode : 0x080111230");
  EXPECT_EQ(static_cast<std::uint32_t>(Get(record, SystemInfo::tsCode)), 0x80111230u);
  EXPECT_EQ(Get(record, SystemInfo::lcdType), 2);
  EXPECT_EQ(Get(record, SystemInfo::fThetaParam), 485);
  for (std::size_t i = 0; i < record.size(); ++i) {
    const bool written = (i >= 152 && i < 156) || (i >= 220 && i < 224) || (i >= 332 && i < 336);
    if (!written) {
      EXPECT_EQ(record[i], before[i]) << "offset " << i;
    }
  }
  EXPECT_FALSE(h.Logged("update stepmotor values as standvalue"));
  EXPECT_FALSE(h.Logged("update door values as standvalue"));
}

TEST_F(HardwarePatchTest, ChangedStepMotorWritesItsWholeRow) {
  form->rgStepMotor.SetItemIndex(item::kStepSst10);
  ASSERT_TRUE(form->PatchHardwareOptions(record));
  EXPECT_TRUE(h.trace.Contains("changed[step 1/main 0/rohs 0/agdoor 0/ftheta 0"));
  EXPECT_TRUE(h.Logged("update stepmotor values as standvalue"));
  const std::int32_t row4[] = {10, 19200, 1700, 4000, 300000000, 20000000, 17000000, 50000000, 8224, 88000000};
  for (std::size_t k = 0; k < 10; ++k) EXPECT_EQ(Get(record, unit::kMotorParams[k]), row4[k]) << "motorParam" << k + 1;
}

TEST_F(HardwarePatchTest, SaehanWithSlaGetsItsDriveCodeAndLosesItWithStk) {
  form->rgPowerBoard.SetItemIndex(item::kPowerSLA7078);  // brings SAEHAN on main board 2.0
  ASSERT_TRUE(form->PatchHardwareOptions(record));
  EXPECT_TRUE(h.trace.Contains("changed[step 1/main 1/rohs 0/agdoor 0/ftheta 0"));
  EXPECT_EQ(Get(record, SystemInfo::motorParam9), 61488);
  ASSERT_TRUE(form->FixSaehanDriveCode(record));
  EXPECT_EQ(Get(record, SystemInfo::motorParam9), 32785);

  form->rgPowerBoard.SetItemIndex(item::kPowerSTK672);
  ASSERT_TRUE(form->PatchHardwareOptions(record));
  ASSERT_TRUE(form->FixSaehanDriveCode(record));
  EXPECT_EQ(Get(record, SystemInfo::motorParam9), 61488);
}

TEST_F(HardwarePatchTest, TrayChangedToAhLogsTheDoorLineTwice) {
  form->rgAGDoor.SetItemIndex(item::kTrayAH);
  Set(record, SystemInfo::motorParam7, 40000000);
  Set(record, SystemInfo::motorParam8, 1);
  Set(record, SystemInfo::motorParam10, 160000000);
  ASSERT_TRUE(form->PatchHardwareOptions(record));
  EXPECT_EQ(Count("update door values as standvalue"), 2u);
  EXPECT_EQ(Get(record, SystemInfo::motorParam7), 30000000);
  EXPECT_EQ(Get(record, SystemInfo::motorParam8), 95000000);
  EXPECT_EQ(Get(record, SystemInfo::motorParam10), 175000000);
}

TEST_F(HardwarePatchTest, TrayChangedToAhKeepsInRangeDriveValues) {
  form->rgAGDoor.SetItemIndex(item::kTrayAH);
  Set(record, SystemInfo::motorParam7, 25000000);
  Set(record, SystemInfo::motorParam10, 169000000);
  ASSERT_TRUE(form->PatchHardwareOptions(record));
  EXPECT_EQ(Get(record, SystemInfo::motorParam7), 25000000);
  EXPECT_EQ(Get(record, SystemInfo::motorParam10), 169000000);
}

TEST_F(HardwarePatchTest, TrayChangedToAgOrOld) {
  form->connectTsCode = static_cast<std::int32_t>(0x80101230u);  // greeted with the old tray
  form->rgAGDoor.SetItemIndex(item::kTrayAG);
  Set(record, SystemInfo::motorParam8, 1);
  ASSERT_TRUE(form->PatchHardwareOptions(record));
  EXPECT_EQ(Count("update door values as standvalue"), 1u);
  EXPECT_EQ(Get(record, SystemInfo::motorParam8), 95000000);

  form->rgAGDoor.SetItemIndex(item::kTrayOld);
  form->connectTsCode = static_cast<std::int32_t>(0x80111230u);
  Set(record, SystemInfo::motorParam8, 1);
  ASSERT_TRUE(form->PatchHardwareOptions(record));
  EXPECT_EQ(Count("update door values as standvalue"), 1u);
  EXPECT_EQ(Get(record, SystemInfo::motorParam8), 1);
}

struct OptionCase {
  int rohs, ftheta;
  std::int32_t fthetaBefore;
  std::int32_t lcdType, fthetaAfter;
};

class OptionPatchTest : public HardwarePatchTest, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(OptionPatchTest, LcdAndFThetaFollowTheOptionsChangedOrNot) {
  const OptionCase& c = GetParam();
  form->rgROHSLCD.SetItemIndex(c.rohs);
  form->rgFTheta.SetItemIndex(c.ftheta);
  Set(record, SystemInfo::fThetaParam, c.fthetaBefore);
  ASSERT_TRUE(form->PatchHardwareOptions(record));
  EXPECT_EQ(Get(record, SystemInfo::lcdType), c.lcdType);
  EXPECT_EQ(Get(record, SystemInfo::fThetaParam), c.fthetaAfter);
}

INSTANTIATE_TEST_SUITE_P(Options, OptionPatchTest,
                         ::testing::Values(OptionCase{0, 0, 46000000, 1, 0}, OptionCase{1, 1, 46000000, 2, 485},
                                           OptionCase{1, 1, 500, 2, 500}, OptionCase{0, 1, -3, 1, 485}));

TEST_F(HardwarePatchTest, ShortRecordIsRefusedUntouched) {
  Record shortRecord = DefaultRecord(335);
  const Record before = shortRecord;
  EXPECT_FALSE(form->PatchHardwareOptions(shortRecord));
  EXPECT_EQ(shortRecord, before);
  EXPECT_FALSE(h.Logged("pathcData2..."));
  EXPECT_EQ(h.Log().back(), "System Info record too short to patch: 335 bytes");

  Record tiny = DefaultRecord(251);
  EXPECT_FALSE(form->FixSaehanDriveCode(tiny));
  EXPECT_EQ(h.Log().back(), "System Info record too short to patch: 251 bytes");
}

TEST_F(HardwarePatchTest, ARecordOfTheMinimumSizeIsPatched) {
  Record exact = DefaultRecord(336);
  EXPECT_TRUE(form->PatchHardwareOptions(exact));
  EXPECT_EQ(Get(exact, SystemInfo::lcdType), 2);
}

struct SaehanCase {
  std::uint32_t tsCode;
  std::int32_t before, after;
};

class SaehanFixTest : public PatchTest, public ::testing::WithParamInterface<SaehanCase> {};

TEST_P(SaehanFixTest, DriveCodeFollowsTheBoardCode) {
  Set(record, SystemInfo::tsCode, static_cast<std::int32_t>(GetParam().tsCode));
  Set(record, SystemInfo::motorParam9, GetParam().before);
  ASSERT_TRUE(form->FixSaehanDriveCode(record));
  EXPECT_EQ(Get(record, SystemInfo::motorParam9), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(Codes, SaehanFixTest,
                         ::testing::Values(SaehanCase{0x80121350u, 61488, 32785}, SaehanCase{0x80121350u, 7, 32785},
                                           SaehanCase{0x80121250u, 32785, 61488}, SaehanCase{0x80121250u, 4355, 4355},
                                           SaehanCase{0x80121340u, 4355, 4355},
                                           SaehanCase{0x00000350u, 61488, 32785}));  // a plain bit pattern

}  // namespace
}  // namespace nimbrel::testing
