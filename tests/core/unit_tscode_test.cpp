#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "Harness.h"
#include "unit/TsCode.h"

namespace nimbrel::testing {
namespace {

namespace item = unit::item;

// The option groups in one comparable value.
struct Options {
  int step, main, power, rohs, tray, ftheta;
  bool operator==(const Options&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Options& o) {
  return os << "{step " << o.step << ", main " << o.main << ", power " << o.power << ", rohs " << o.rohs
            << ", tray " << o.tray << ", ftheta " << o.ftheta << "}";
}

class TsCodeTest : public ::testing::Test {
 protected:
  void SetUp() override { form = &h.Start(); }

  Options Selected() const {
    return {form->rgStepMotor.ItemIndex(), form->rgMainBoard.ItemIndex(), form->rgPowerBoard.ItemIndex(),
            form->rgROHSLCD.ItemIndex(),   form->rgAGDoor.ItemIndex(),    form->rgFTheta.ItemIndex()};
  }
  void Select(const Options& o) {
    form->rgPowerBoard.SetItemIndex(o.power);  // first: its rule moves step motor and main board
    form->rgStepMotor.SetItemIndex(o.step);
    form->rgMainBoard.SetItemIndex(o.main);
    form->rgROHSLCD.SetItemIndex(o.rohs);
    form->rgAGDoor.SetItemIndex(o.tray);
    form->rgFTheta.SetItemIndex(o.ftheta);
    ASSERT_EQ(Selected(), o);
  }

  Harness h;
  app::TfrmMain* form = nullptr;
};

TEST_F(TsCodeTest, V2CodeDecodesAndEncodesBack) {
  Select({item::kStepScrew, item::kMainCore20, item::kPowerSTK672, 0, item::kTrayOld, 0});
  form->ParseTsCode(static_cast<std::int32_t>(0x80121350u));
  EXPECT_EQ(h.Log().back(), "tsCode v2: 0x080121350");
  EXPECT_EQ(Selected(), (Options{item::kStepSaehan, item::kMainBd20, item::kPowerSLA7078, 1, item::kTrayAH, 1}));
  EXPECT_EQ(static_cast<std::uint32_t>(form->MakeTsCode()), 0x80121350u);
}

TEST_F(TsCodeTest, PowerBoardChangeDuringDecodingMovesTheStepMotor) {
  Select({item::kStepWs10, item::kMainBd20, item::kPowerSTK672, 0, item::kTrayOld, 0});
  form->ParseTsCode(static_cast<std::int32_t>(0x80121340u));
  // The code says "ws 10mm(AH)", but choosing SLA7078 brings SAEHAN with it.
  EXPECT_EQ(Selected(), (Options{item::kStepSaehan, item::kMainBd20, item::kPowerSLA7078, 1, item::kTrayAH, 1}));
}

TEST_F(TsCodeTest, PowerBoardAlreadySlaKeepsTheCodedStepMotor) {
  Select({item::kStepSaehan, item::kMainBd20, item::kPowerSLA7078, 0, item::kTrayOld, 0});
  form->ParseTsCode(static_cast<std::int32_t>(0x80121340u));
  EXPECT_EQ(Selected(), (Options{item::kStepWs10AH, item::kMainBd20, item::kPowerSLA7078, 1, item::kTrayAH, 1}));
}

TEST_F(TsCodeTest, NibblesBeyondTheLastItemSelectTheLastItem) {
  Select({item::kStepScrew, item::kMainCore20, item::kPowerSTK672, 0, item::kTrayOld, 0});
  form->ParseTsCode(static_cast<std::int32_t>(0x80777F90u));
  EXPECT_EQ(Selected(), (Options{item::kStepSaehan, item::kMainBd20, item::kPowerSLA7078, 1, item::kTrayAH, 1}));
}

struct V1Case {
  std::int32_t code;
  std::string line;
  Options after;
};

class TsCodeV1Test : public TsCodeTest, public ::testing::WithParamInterface<V1Case> {};

// From all options "off", main board "corebd2.0" and power board "STK672".
TEST_P(TsCodeV1Test, FlagsSwitchOptionsOnAndLeaveTheRest) {
  Select({item::kStepWs10, item::kMainCore20, item::kPowerSTK672, 0, item::kTrayOld, 0});
  form->ParseTsCode(GetParam().code);
  EXPECT_EQ(h.Log().back(), GetParam().line);
  EXPECT_EQ(Selected(), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, TsCodeV1Test,
    ::testing::Values(
        V1Case{0x11110, "tsCode v1: 0x11110", {item::kStepWm20, item::kMainCore20, item::kPowerSTK672, 1, 1, 1}},
        V1Case{0x10, "tsCode v1: 0x00010", {item::kStepWs10, item::kMainCore20, item::kPowerSTK672, 0, 0, 1}},
        // Bits 0-3 and 20-30 are not read.
        V1Case{0x7FF0000F, "tsCode v1: 0x7FF0000F", {item::kStepWs10, item::kMainCore20, item::kPowerSTK672, 0, 0, 0}},
        V1Case{1, "No tsCode: 0x00001", {item::kStepWs10, item::kMainCore20, item::kPowerSTK672, 0, 0, 0}},
        V1Case{0, "No tsCode: 0x00000", {item::kStepWs10, item::kMainCore20, item::kPowerSTK672, 0, 0, 0}}));

TEST_F(TsCodeTest, LotAjKeepsTheSlaPowerBoardAndLotAhResetsIt) {
  form->rgPowerBoard.SetItemIndex(item::kPowerSLA7078);
  form->rgLOT.SetItemIndex(item::kLotAJ);
  EXPECT_EQ(Selected(), (Options{item::kStepSaehan, item::kMainBd20, item::kPowerSLA7078, 1, item::kTrayAH, 1}));
  form->rgLOT.SetItemIndex(item::kLotAH);
  EXPECT_EQ(Selected(), (Options{item::kStepWs10AH, item::kMainBd20, item::kPowerSTK672, 1, item::kTrayAH, 1}));
}

TEST_F(TsCodeTest, SlaByHandThenMainBoardOneXEncodesAsMainBoardTwo) {
  form->rgPowerBoard.SetItemIndex(item::kPowerSLA7078);
  EXPECT_EQ(form->rgStepMotor.ItemIndex(), item::kStepSaehan);
  EXPECT_EQ(form->rgMainBoard.ItemIndex(), item::kMainBd20);
  form->rgMainBoard.SetItemIndex(item::kMainBd1x);
  const std::int32_t code = form->MakeTsCode();
  EXPECT_EQ(unit::TsNibble(code, unit::tsbits::kBoardCode), 2);
  form->ParseTsCode(code);
  EXPECT_EQ(form->rgMainBoard.ItemIndex(), item::kMainBd20);
  EXPECT_EQ(form->rgPowerBoard.ItemIndex(), item::kPowerSTK672);
}

struct BaseCase {
  int unitType;
  Options options;
};

class ScannerBaseTest : public TsCodeTest, public ::testing::WithParamInterface<BaseCase> {};

TEST_P(ScannerBaseTest, BaseDrivesLotAndOptions) {
  form->rgPowerBoard.SetItemIndex(item::kPowerSLA7078);
  form->rgFPGA.SetItemIndex(GetParam().unitType);
  EXPECT_EQ(form->rgLOT.ItemIndex(), std::min(GetParam().unitType, 9));
  EXPECT_EQ(Selected(), GetParam().options);
}

INSTANTIATE_TEST_SUITE_P(
    Generations, ScannerBaseTest,
    ::testing::Values(
        BaseCase{0, {item::kStepScrew, item::kMainCore20, item::kPowerSTK672, 0, item::kTrayOld, 0}},
        BaseCase{2, {item::kStepWm20, item::kMainBd1x, item::kPowerSTK672, 0, item::kTrayOld, 0}},
        BaseCase{4, {item::kStepSst10, item::kMainBd1x, item::kPowerSTK672, 0, item::kTrayOld, 0}},
        BaseCase{6, {item::kStepWs10, item::kMainBd20, item::kPowerSTK672, 1, item::kTrayOld, 0}},
        BaseCase{7, {item::kStepWs10, item::kMainBd20, item::kPowerSTK672, 1, item::kTrayAG, 1}},
        BaseCase{100, {item::kStepSaehan, item::kMainBd20, item::kPowerSLA7078, 1, item::kTrayAH, 1}}));

TEST_F(TsCodeTest, MakeThenParseReproducesTheSelections) {
  form->rgFPGA.SetItemIndex(7);
  const Options before = Selected();
  form->btnMaketsCode.Click();
  EXPECT_EQ(form->edittsCode.Text(), "0x080111230");
  Select({item::kStepScrew, item::kMainCore20, item::kPowerSTK672, 0, item::kTrayOld, 0});
  form->btnTestTSCode.Click();
  EXPECT_EQ(h.Log().back(), "tsCode v2: 0x080111230");
  EXPECT_EQ(Selected(), before);
}

struct TextCase {
  const char* text;
  std::optional<std::int64_t> value;  // as an unsigned pattern where it is hexadecimal
};

class IntegerTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(IntegerTextTest, ReadsTheNumberOrRefusesIt) {
  const auto got = unit::ParseIntegerText(GetParam().text);
  if (!GetParam().value) {
    EXPECT_FALSE(got) << *got;
  } else {
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, static_cast<std::int32_t>(static_cast<std::uint32_t>(*GetParam().value)));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IntegerTextTest,
    ::testing::Values(TextCase{"1", 1}, TextCase{"  42", 42}, TextCase{"-17", -17}, TextCase{"+5", 5},
                      TextCase{"007", 7}, TextCase{"2147483647", 2147483647},
                      TextCase{"-2147483648", -2147483648LL}, TextCase{"$10", 16}, TextCase{"x1f", 31},
                      TextCase{"X1F", 31}, TextCase{"0x80121350", 0x80121350}, TextCase{"0XaBc", 0xABC},
                      TextCase{"0x080111230", 0x80111230}, TextCase{"$FFFFFFFF", 0xFFFFFFFF},
                      TextCase{"-$10", -16}, TextCase{"0x00000000000011110", 0x11110},
                      // Refused.
                      TextCase{"2147483648", std::nullopt}, TextCase{"-2147483649", std::nullopt},
                      TextCase{"99999999999999999999", std::nullopt}, TextCase{"0x180111230", std::nullopt},
                      TextCase{"", std::nullopt}, TextCase{"   ", std::nullopt}, TextCase{"-", std::nullopt},
                      TextCase{"0x", std::nullopt}, TextCase{"$", std::nullopt}, TextCase{"12 ", std::nullopt},
                      TextCase{"12a", std::nullopt}, TextCase{"0x12g", std::nullopt},
                      TextCase{"\t12", std::nullopt}, TextCase{"1 2", std::nullopt},
                      TextCase{"--1", std::nullopt}, TextCase{"0b101", std::nullopt},
                      TextCase{"abc", std::nullopt}));

TEST_F(TsCodeTest, UnreadableTextEndsTheClickWithTheErrorBox) {
  const Options before = Selected();
  const std::size_t lines = h.Log().size();
  form->edittsCode.SetText("0x12g");
  // The operator's click runs guarded, as every handler on the loop does.
  h.loop.Post([this] { form->btnTestTSCode.Click(); });
  h.loop.RunFor(10);

  ASSERT_EQ(h.dialogs.Messages().size(), 1u);
  EXPECT_EQ(h.dialogs.Messages()[0].text, "'0x12g' is not a valid integer value");
  EXPECT_EQ(h.dialogs.Messages()[0].icon, ui::MsgIcon::Error);
  EXPECT_EQ(h.dialogs.Messages()[0].buttons, ui::MsgButtons::Ok);
  EXPECT_EQ(Selected(), before);
  EXPECT_EQ(h.Log().size(), lines);
}

TEST(StrToInt, RaisesAConversionErrorNamingTheText) {
  try {
    unit::StrToInt("junk");
    FAIL() << "no error";
  } catch (const unit::EConvertError& e) {
    EXPECT_STREQ(e.what(), "'junk' is not a valid integer value");
  }
}

}  // namespace
}  // namespace nimbrel::testing
