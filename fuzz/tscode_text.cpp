// The integer text of the tsCode box: arbitrary bytes as the text, read by
// the parser on a view of exactly the input, and through the box's test
// button on a window, where a text that is no number ends the click with
// its error.
//
// The value is checked against a reading of the same grammar written apart
// from the parser: spaces, a sign, then decimal digits within the signed
// 32-bit range, or "$", "x", "X", "0x" or "0X" and up to eight significant
// hexadecimal digits taken as the 32-bit pattern.

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzWindow.h"
#include "unit/TsCode.h"

namespace {

using namespace nimbrel;

std::optional<std::int32_t> Expected(std::string_view s) {
  const std::size_t start = s.find_first_not_of(' ');
  if (start == std::string_view::npos) return std::nullopt;
  s.remove_prefix(start);
  bool negative = false;
  if (s.front() == '-' || s.front() == '+') {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (s.starts_with("0x") || s.starts_with("0X")) {
    base = 16;
    s.remove_prefix(2);
  } else if (s.starts_with("$") || s.starts_with("x") || s.starts_with("X")) {
    base = 16;
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  for (const char c : s) {
    const bool digit = c >= '0' && c <= '9';
    const bool hexLetter = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!digit && !(base == 16 && hexLetter)) return std::nullopt;
  }
  if (base == 16) {
    const std::size_t first = s.find_first_not_of('0');
    const std::string_view significant = first == std::string_view::npos ? std::string_view() : s.substr(first);
    if (significant.size() > 8) return std::nullopt;
    std::uint32_t v = 0;
    if (!significant.empty()) std::from_chars(significant.data(), significant.data() + significant.size(), v, 16);
    return static_cast<std::int32_t>(negative ? 0u - v : v);
  }
  std::int64_t v = 0;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), v, 10);
  if (error != std::errc() || end != s.data() + s.size()) return std::nullopt;
  if (negative) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(v);
}

fuzz::FuzzWindow& Window() {
  static fuzz::FuzzWindow window;
  return window;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<std::int32_t> parsed = unit::ParseIntegerText(text);
  NIMBREL_FUZZ_CHECK(parsed == Expected(text));

  app::TfrmMain& f = Window().Next();
  f.edittsCode.SetText(std::string(text));
  std::optional<std::string> error;
  try {
    f.btnTestTSCodeClick(&f.btnTestTSCode);
  } catch (const unit::EConvertError& e) {
    error = e.what();
  }
  if (parsed) {
    NIMBREL_FUZZ_CHECK(!error);
    // Whatever the fields say, the groups select items that exist.
    for (const ui::TRadioGroup* g : {&f.rgStepMotor, &f.rgMainBoard, &f.rgPowerBoard, &f.rgROHSLCD, &f.rgAGDoor,
                                     &f.rgFTheta}) {
      NIMBREL_FUZZ_CHECK(g->ItemIndex() >= -1 && g->ItemIndex() < static_cast<int>(g->Items().size()));
    }
  } else {
    // The error's text ends at a zero byte of the typed text.
    const std::string message = "'" + std::string(text) + "' is not a valid integer value";
    NIMBREL_FUZZ_CHECK(error == message.substr(0, message.find('\0')));
  }
  return 0;
}
