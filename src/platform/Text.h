#pragma once
// The updater's 8-bit texts are in code page 949 (the only non-ASCII
// character they use is theta, the bytes 0xA5 0xE8). They stay 8-bit inside
// the core; they are converted to UTF-8 only where a person reads them.

#include <string>
#include <string_view>

namespace nimbrel::platform {

inline constexpr std::string_view kTheta = "\xA5\xE8";

// Converts a code-page-949 text to UTF-8. Bytes that do not form a valid
// character come out as U+FFFD.
std::string Cp949ToUtf8(std::string_view text);

// Upper-cases the ASCII letters of an 8-bit text.
std::string UpperAscii(std::string_view text);

}  // namespace nimbrel::platform
