// The tsCode, its decoding into the option groups and the rules that tie the
// groups to each other.

#include "unit/TsCode.h"

#include <cstdio>

#include "app/TfrmMain.h"

namespace nimbrel::unit {

const std::array<LotOptions, 10> LotOptionTable{{
    // step motor, main board, ROHS LCD, tray type, f-theta
    {item::kStepScrew, item::kMainCore20, 0, item::kTrayOld, 0},  // "AA v1"
    {item::kStepScrew, item::kMainCore20, 0, item::kTrayOld, 0},  // "AA v2"
    {item::kStepWm20, item::kMainBd1x, 0, item::kTrayOld, 0},     // "AB"
    {item::kStepWs10, item::kMainBd1x, 0, item::kTrayOld, 0},     // "AC"
    {item::kStepSst10, item::kMainBd1x, 0, item::kTrayOld, 0},    // "AD"
    {item::kStepWs10, item::kMainBd20, 0, item::kTrayOld, 0},     // "AE"
    {item::kStepWs10, item::kMainBd20, 1, item::kTrayOld, 0},     // "AF"
    {item::kStepWs10, item::kMainBd20, 1, item::kTrayAG, 1},      // "AG"
    {item::kStepWs10AH, item::kMainBd20, 1, item::kTrayAH, 1},    // "AH"
    {item::kStepSaehan, item::kMainBd20, 1, item::kTrayAH, 1},    // "AJ"
}};

TsCodeForm FormOfTsCode(std::int32_t code) {
  if (code < 0) return TsCodeForm::V2;
  if (code == 0 || code == 1) return TsCodeForm::None;
  return TsCodeForm::V1;
}

std::int32_t EncodeTsCode(const PartsInformation& p) {
  auto field = [](int index, int shift) { return static_cast<std::uint32_t>(index < 0 ? 0 : index) << shift; };
  const int board = p.mainBoard + (p.powerBoard > 0 ? 1 : 0);
  return static_cast<std::int32_t>(tsbits::kV2Flag | field(p.stepMotor, tsbits::kStepMotor) |
                                   field(board, tsbits::kBoardCode) | field(p.rohsLcd, tsbits::kRohsLcd) |
                                   field(p.trayType, tsbits::kTrayType) | field(p.fTheta, tsbits::kFTheta));
}

std::string FormatTsCode9(std::int32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%09X", static_cast<unsigned>(code));
  return text;
}

std::optional<std::int32_t> ParseIntegerText(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';

  bool hex = false;
  if (i < s.size() && (s[i] == '$' || s[i] == 'x' || s[i] == 'X')) {
    hex = true;
    i += 1;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= s.size()) return std::nullopt;

  if (hex) {
    std::uint32_t value = 0;
    int significant = 0;
    for (; i < s.size(); ++i) {
      const char c = s[i];
      int digit;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        return std::nullopt;
      }
      if (value != 0 || digit != 0) ++significant;
      if (significant > 8) return std::nullopt;
      value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    if (negative) value = 0u - value;
    return static_cast<std::int32_t>(value);
  }

  std::int64_t value = 0;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > 2147483648LL) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > 2147483647LL) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

std::int32_t StrToInt(const std::string& text) {
  if (const auto value = ParseIntegerText(text)) return *value;
  throw EConvertError("'" + text + "' is not a valid integer value");
}

}  // namespace nimbrel::unit

namespace nimbrel::app {

using namespace unit;

unit::PartsInformation TfrmMain::CurrentPartsInformation() const {
  return {rgStepMotor.ItemIndex(), rgMainBoard.ItemIndex(), rgPowerBoard.ItemIndex(),
          rgROHSLCD.ItemIndex(),   rgAGDoor.ItemIndex(),    rgFTheta.ItemIndex()};
}

std::int32_t TfrmMain::MakeTsCode() const { return EncodeTsCode(CurrentPartsInformation()); }

void TfrmMain::ParseTsCode(std::int32_t code) {
  char line[48];
  switch (FormOfTsCode(code)) {
    case TsCodeForm::V2: {
      std::snprintf(line, sizeof line, "tsCode v2: 0x%09X", static_cast<unsigned>(code));
      LogLine(line);
      rgStepMotor.SetItemIndex(TsNibble(code, tsbits::kStepMotor));
      const int board = TsNibble(code, tsbits::kBoardCode);
      rgMainBoard.SetItemIndex(board);
      // A board code above the main board it selected tells of the SLA7078;
      // choosing it runs the power board's own rule.
      rgPowerBoard.SetItemIndex(board > rgMainBoard.ItemIndex() ? item::kPowerSLA7078 : item::kPowerSTK672);
      rgROHSLCD.SetItemIndex(TsNibble(code, tsbits::kRohsLcd));
      rgAGDoor.SetItemIndex(TsNibble(code, tsbits::kTrayType));
      rgFTheta.SetItemIndex(TsNibble(code, tsbits::kFTheta));
      break;
    }
    case TsCodeForm::None:
      std::snprintf(line, sizeof line, "No tsCode: 0x%05X", static_cast<unsigned>(code));
      LogLine(line);
      break;
    case TsCodeForm::V1:
      std::snprintf(line, sizeof line, "tsCode v1: 0x%05X", static_cast<unsigned>(code));
      LogLine(line);
      if (TsNibble(code, tsbits::kV1FTheta) != 0) rgFTheta.SetItemIndex(item::kYes);
      if (TsNibble(code, tsbits::kV1StepWm20) != 0) rgStepMotor.SetItemIndex(item::kStepWm20);
      if (TsNibble(code, tsbits::kV1TrayAG) != 0) rgAGDoor.SetItemIndex(item::kTrayAG);
      if (TsNibble(code, tsbits::kV1RohsLcd) != 0) rgROHSLCD.SetItemIndex(item::kYes);
      break;
  }
}

// A cleared selection (the unit-type dialog's "Ok" with no item chosen)
// leaves the LOT and the options as they are.
void TfrmMain::rgFPGAClick(TControl*) {
  if (rgFPGA.ItemIndex() < 0) return;
  rgLOT.SetItemIndex(rgFPGA.ItemIndex());
}

void TfrmMain::rgLOTClick(TControl*) {
  const int lot = rgLOT.ItemIndex();
  if (lot < 0) return;
  const LotOptions& row = LotOptionTable[static_cast<std::size_t>(lot)];
  rgStepMotor.SetItemIndex(row.stepMotor);
  rgMainBoard.SetItemIndex(row.mainBoard);
  rgROHSLCD.SetItemIndex(row.rohsLcd);
  rgAGDoor.SetItemIndex(row.trayType);
  rgFTheta.SetItemIndex(row.fTheta);
  if (LotResetsPowerBoard(lot)) rgPowerBoard.SetItemIndex(item::kPowerSTK672);
}

// The SLA7078 power board exists only with the SAEHAN drive on main board 2.0.
void TfrmMain::rgPowerBoardClick(TControl*) {
  if (rgPowerBoard.ItemIndex() != item::kPowerSLA7078) return;
  rgStepMotor.SetItemIndex(item::kStepSaehan);
  rgMainBoard.SetItemIndex(item::kMainBd20);
}

void TfrmMain::rgMainBoardClick(TControl*) {}

// An unreadable text raises EConvertError out of the click: the operation
// ends there and the general error handler shows the error box.
void TfrmMain::btnTestTSCodeClick(TControl*) { ParseTsCode(StrToInt(edittsCode.Text())); }

void TfrmMain::btnMaketsCodeClick(TControl*) { edittsCode.SetText(FormatTsCode9(MakeTsCode())); }

}  // namespace nimbrel::app
