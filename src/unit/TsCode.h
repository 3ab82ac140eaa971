#pragma once
// The hardware configuration code (tsCode) and the hardware-option groups
// it stands for.
//
// A tsCode is a signed 32-bit number: negative (bit 31 set) is the v2 form,
// five 4-bit fields holding the option items; 0 and 1 mean no code; anything
// else is the v1 form, four flag nibbles that each switch one option on.

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace nimbrel::unit {

// Item indices of the option groups that the rules name.
namespace item {
inline constexpr int kStepScrew = 0, kStepWm20 = 1, kStepSst10 = 2, kStepWs10 = 3, kStepWs10AH = 4,
                     kStepSaehan = 5;
inline constexpr int kMainCore20 = 0, kMainBd1x = 1, kMainBd20 = 2;
inline constexpr int kPowerSTK672 = 0, kPowerSLA7078 = 1;
inline constexpr int kNo = 0, kYes = 1;  // ROHS LCD, f-theta
inline constexpr int kTrayOld = 0, kTrayAG = 1, kTrayAH = 2;
inline constexpr int kLotAG = 7, kLotAH = 8, kLotAJ = 9;
}  // namespace item

enum class TsCodeForm { None, V1, V2 };
TsCodeForm FormOfTsCode(std::int32_t code);

// Bit positions of the fields (v2) and flags (v1).
namespace tsbits {
inline constexpr std::uint32_t kV2Flag = 0x80000000u;
inline constexpr int kStepMotor = 4, kBoardCode = 8, kRohsLcd = 12, kTrayType = 16, kFTheta = 20;  // v2
inline constexpr int kV1FTheta = 4, kV1StepWm20 = 8, kV1TrayAG = 12, kV1RohsLcd = 16;               // v1
}  // namespace tsbits

// The 4-bit field of `code` that starts at bit `shift`.
inline int TsNibble(std::int32_t code, int shift) {
  return static_cast<int>(static_cast<std::uint32_t>(code) >> shift & 0xF);
}

// The selections of the " Parts Information " groups.
struct PartsInformation {
  int stepMotor = item::kStepWs10;
  int mainBoard = item::kMainBd20;
  int powerBoard = item::kPowerSTK672;
  int rohsLcd = item::kYes;
  int trayType = item::kTrayAG;
  int fTheta = item::kYes;
};

// The v2 code of a set of selections. The board field is the main board
// index, plus 1 with the SLA7078 power board. A group without a selection
// (index -1) encodes as its item 0.
std::int32_t EncodeTsCode(const PartsInformation& parts);

// What a LOT selection sets; LOT items up to "AH" also reset the power
// board to STK672.
struct LotOptions {
  int stepMotor, mainBoard, rohsLcd, trayType, fTheta;
};
extern const std::array<LotOptions, 10> LotOptionTable;
inline bool LotResetsPowerBoard(int lot) { return lot <= item::kLotAH; }

// "0x%09X" of the code as an unsigned number.
std::string FormatTsCode9(std::int32_t code);

// The integer text of the tsCode edit box: leading spaces, an optional sign,
// then decimal digits within the signed 32-bit range, or "$", "x", "X",
// "0x" or "0X" and up to eight significant hexadecimal digits taken as the
// 32-bit pattern. Nothing else (trailing characters included) is a number.
std::optional<std::int32_t> ParseIntegerText(std::string_view text);

// The error that refuses such a text; it ends the operation and the
// program's general error handler shows it in an error box.
class EConvertError final : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ParseIntegerText, or EConvertError "'<text>' is not a valid integer value".
std::int32_t StrToInt(const std::string& text);

}  // namespace nimbrel::unit
