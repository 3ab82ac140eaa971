#pragma once
// The scanner's part number (PN) and what the updater reads from it: its
// class, the model it names, the UDI text of the operator log and whether
// this updater may work on the unit.
//
// Texts are 8-bit code-page-949 texts, byte for byte.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "protocol/ControlFrame.h"

namespace nimbrel::unit {

// The part-number field of a greeting or System Info record: 20 raw bytes at
// offset 100. The text ends at its first NUL, or at the field's end when the
// field holds none. A few rules look at fixed positions of the field whether
// or not the text ends before them, so the whole field is kept.
class PnField {
 public:
  static constexpr std::size_t kOffset = protocol::GreetingRecord::kPnOffset;
  static constexpr std::size_t kSize = protocol::GreetingRecord::kPnSize;

  PnField() = default;
  // A text as the field would hold it: cut to 20 bytes, the rest zero.
  PnField(std::string_view text);  // implicit: a part number is written as a text
  static PnField FromRecord(std::span<const std::uint8_t, protocol::kFrameSize> record);
  static PnField FromRecord(const protocol::Frame& record) {
    return FromRecord(std::span<const std::uint8_t, protocol::kFrameSize>(record));
  }

  // Byte i of the field (i below 20).
  char operator[](std::size_t i) const { return static_cast<char>(bytes_[i]); }
  std::string Text() const;
  bool Empty() const { return bytes_[0] == 0; }

 private:
  std::array<std::uint8_t, kSize> bytes_{};
};

enum class PnClass { Malformed, Factory, Regular };

// The part numbers of unconfigured units (the first two are those of the
// default System Info records), compared over exactly 18 bytes.
inline constexpr std::size_t kPnLength = 18;
inline constexpr std::array<std::string_view, 3> FactoryPnTable{
    "QV47-00CH00-100200", "QV47-01CH00-100200", "QV47-130400-100200"};

// The part numbers this updater may work on begin with one of these.
inline constexpr std::array<std::string_view, 2> SupportedPnPrefixes{"QV47-02", "QV47-FF"};

// "Scanner Base" index the updater uses for the latest generation; a radio
// group clamps it to its last item.
inline constexpr int kLatestUnitType = 100;

// Characters 9-10 of a part number to the log line and "Scanner Base" index,
// searched in order. The screw row ("AA"/"00") gives index 0 or 1 by
// character 8, see LookupModel.
struct ModelSuffixRow {
  std::array<std::string_view, 3> codes;  // unused entries are empty
  std::string_view line;
  int unitType;
};
extern const std::array<ModelSuffixRow, 10> ModelSuffixTable;
// A pair that no row holds.
inline constexpr std::string_view kUnknownSuffixLine = "unknown model[99]";

// Production year and month letters to their numbers; 0 for a letter the
// table does not hold.
int DateLetterTable(char letter);

// Family digits (characters 2-3) to the last four GTIN digits; empty when
// the table does not hold the pair.
std::string_view GtinTailTable(std::string_view familyDigits);

inline constexpr std::string_view kUdiTemplate = "(01)0123456789****(11)******(10)********(21)******";
// What a date position shows when its letter has no number: the fault is
// the unit's, and the operator must be able to see it in the log.
inline constexpr std::string_view kUnknownDateDigits = "??";

PnClass ClassifyPn(const PnField& pn);

struct ModelLookup {
  int unitType;      // 0..9, or kLatestUnitType
  std::string line;  // the operator-log line
};
// For a part number that ClassifyPn calls Regular.
ModelLookup LookupModel(const PnField& pn);

// The UDI text of a part number and production day; it ends at the first
// position that received a NUL of the field.
std::string BuildUdiText(const PnField& pn, std::int32_t productionDay);

struct PnLogText {
  std::string text;  // what follows "PN::"
  bool udi;          // the text is the UDI form
};
// The UDI form for production-year letters after "E", the text itself
// otherwise.
PnLogText FormatPnForLog(const PnField& pn, std::int32_t productionDay);

// The prefix rule of the supported-unit check (without its test markers).
bool HasSupportedPnPrefix(const PnField& pn);

}  // namespace nimbrel::unit
