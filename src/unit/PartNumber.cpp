#include "unit/PartNumber.h"

#include <algorithm>
#include <cstdio>

namespace nimbrel::unit {

namespace {

// Places the first two characters of "%02d" of n.
void PutTwoDigits(std::string& udi, std::size_t pos, int n) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%02d", n);
  udi[pos] = digits[0];
  udi[pos + 1] = digits[1];
}

void PutDateNumber(std::string& udi, std::size_t pos, int number, int offset) {
  if (number == 0) {
    udi.replace(pos, 2, kUnknownDateDigits);
  } else {
    PutTwoDigits(udi, pos, number + offset);
  }
}

}  // namespace

const std::array<ModelSuffixRow, 10> ModelSuffixTable{{
    {{"AA", "00", ""}, "screw model", 0},
    {{"AB", "01", ""}, "wm 20mm model(QV47-XXXXAB or QV47-XXXX01)", 2},
    {{"AC", "02", ""}, "ws 10mm model(QV47-XXXXAC or QV47-XXXX02)", 3},
    {{"AD", "03", ""}, "sst 10mm model(QV47-XXXXAD or QV47-XXXX03)", 4},
    {{"AE", "04", ""}, "ws wide model(QV47-XXXXAE or QV47-XXXX04)", 5},
    {{"AF", "05", ""}, "ws ROHS model(QV47-XXXXAF or QV47-XXXX05)", 6},
    // "\xA5\xE8" is theta in code page 949.
    {{"AG", "06", ""}, "ws ROHS f-\xA5\xE8 model(QV47-XXXXAG or QV47-XXXX06)", 7},
    {{"AH", "07", ""}, " AH  model(QV47-XXXXAH or QV47-XXXX07)", 8},
    {{"AJ", "08", "AI"}, " AJ  model(QV47-XXXXAJ or QV47-XXXX08)", 9},
    {{"AK", "09", ""}, "unknown model[8]", kLatestUnitType},
}};

PnField::PnField(std::string_view text) {
  std::copy_n(text.begin(), std::min(text.size(), kSize), bytes_.begin());
}

PnField PnField::FromRecord(std::span<const std::uint8_t, protocol::kFrameSize> record) {
  PnField f;
  std::copy_n(record.begin() + kOffset, kSize, f.bytes_.begin());
  return f;
}

std::string PnField::Text() const {
  const auto end = std::find(bytes_.begin(), bytes_.end(), std::uint8_t{0});
  return std::string(bytes_.begin(), end);
}

int DateLetterTable(char letter) {
  static constexpr int kNumbers[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 10, 11, 12, 12};
  if (letter < 'A' || letter > 'N') return 0;
  return kNumbers[letter - 'A'];
}

std::string_view GtinTailTable(std::string_view familyDigits) {
  if (familyDigits == "23") return "0016";
  if (familyDigits == "47") return "0214";
  if (familyDigits == "65") return "0412";
  return {};
}

PnClass ClassifyPn(const PnField& pn) {
  if (pn[0] != 'Q' || pn[1] != 'V' || pn[4] != '-' || pn[11] != '-') return PnClass::Malformed;
  for (std::string_view factory : FactoryPnTable) {
    bool equal = true;
    for (std::size_t i = 0; i < kPnLength; ++i) equal = equal && pn[i] == factory[i];
    if (equal) return PnClass::Factory;
  }
  return PnClass::Regular;
}

ModelLookup LookupModel(const PnField& pn) {
  const char pair[2] = {pn[9], pn[10]};
  const std::string_view code(pair, 2);
  for (const ModelSuffixRow& row : ModelSuffixTable) {
    if (std::find(row.codes.begin(), row.codes.end(), code) == row.codes.end()) continue;
    int unitType = row.unitType;
    // Screw units from month letter "K" on have the second screw drive.
    if (&row == &ModelSuffixTable.front() && static_cast<unsigned char>(pn[8]) >= 'K') unitType = 1;
    return {unitType, std::string(row.line)};
  }
  return {kLatestUnitType, std::string(kUnknownSuffixLine)};
}

std::string BuildUdiText(const PnField& pn, std::int32_t productionDay) {
  std::string udi(kUdiTemplate);
  const char family[2] = {pn[2], pn[3]};
  const std::string_view tail = GtinTailTable(std::string_view(family, 2));
  if (!tail.empty()) udi.replace(14, 4, tail);

  PutTwoDigits(udi, 26, productionDay > 99 ? productionDay / 100 : productionDay);
  PutDateNumber(udi, 24, DateLetterTable(pn[8]), 0);
  PutDateNumber(udi, 22, DateLetterTable(pn[7]), 10);

  auto copy = [&](std::size_t to, std::size_t from, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) udi[to + i] = pn[from + i];
  };
  copy(32, 0, 4);
  copy(36, 5, 2);
  copy(38, 9, 2);
  copy(44, 12, 6);

  const auto nul = udi.find('\0');
  if (nul != std::string::npos) udi.resize(nul);
  return udi;
}

PnLogText FormatPnForLog(const PnField& pn, std::int32_t productionDay) {
  if (static_cast<signed char>(pn[7]) <= 'E') return {pn.Text(), false};
  return {BuildUdiText(pn, productionDay), true};
}

bool HasSupportedPnPrefix(const PnField& pn) {
  const std::string text = pn.Text();
  for (std::string_view prefix : SupportedPnPrefixes) {
    if (std::string_view(text).substr(0, prefix.size()) == prefix) return true;
  }
  return false;
}

}  // namespace nimbrel::unit
