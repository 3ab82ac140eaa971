#include "platform/Text.h"

#include <iconv.h>

#include <cerrno>

namespace nimbrel::platform {

namespace {

bool IsAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

}  // namespace

std::string Cp949ToUtf8(std::string_view text) {
  if (IsAscii(text)) return std::string(text);

  iconv_t cd = iconv_open("UTF-8", "CP949");
  std::string out;
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    // No converter on this system: keep what is known and mark the rest.
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text.substr(i, 2) == kTheta) {
        out += "\xCE\xB8";
        ++i;
      } else if (static_cast<unsigned char>(text[i]) < 0x80) {
        out += text[i];
      } else {
        out += "\xEF\xBF\xBD";
      }
    }
    return out;
  }
  std::string input(text);
  char* in = input.data();
  std::size_t inLeft = input.size();
  char buffer[256];
  while (inLeft > 0) {
    char* o = buffer;
    std::size_t oLeft = sizeof buffer;
    const std::size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buffer, static_cast<std::size_t>(o - buffer));
    if (r == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) continue;
      // Invalid or cut-off sequence: replace one byte and go on.
      out += "\xEF\xBF\xBD";
      ++in;
      --inLeft;
    }
  }
  iconv_close(cd);
  return out;
}

std::string UpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

}  // namespace nimbrel::platform
