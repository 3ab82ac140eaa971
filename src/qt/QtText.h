#pragma once
// The core's 8-bit code-page-949 texts as Qt strings.

#include <QString>
#include <string>

#include "platform/Text.h"

namespace nimbrel::qt {

inline QString FromLocal8(const std::string& text) {
  return QString::fromStdString(platform::Cp949ToUtf8(text));
}

}  // namespace nimbrel::qt
