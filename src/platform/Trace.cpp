#include "platform/Trace.h"

#include <algorithm>
#include <cstdarg>

#include "platform/Text.h"

namespace nimbrel::platform {

void Trace::Debug(std::string_view text) {
  std::lock_guard lock(mutex_);
  if (keep_) lines_.emplace_back(text);
  if (echo_) {
    std::string_view line = text;
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    const std::string utf8 = Cp949ToUtf8(line);
    std::fwrite(utf8.data(), 1, utf8.size(), echo_);
    std::fputc('\n', echo_);
    std::fflush(echo_);
  }
}

void Trace::Debugf(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  Debug(buffer);
}

void Trace::SetKeep(bool keep) {
  std::lock_guard lock(mutex_);
  keep_ = keep;
}

void Trace::SetEcho(std::FILE* stream) {
  std::lock_guard lock(mutex_);
  echo_ = stream;
}

std::vector<std::string> Trace::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool Trace::Contains(std::string_view text) const { return Count(text) > 0; }

std::size_t Trace::Count(std::string_view text) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count(lines_.begin(), lines_.end(), text));
}

void Trace::Clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

}  // namespace nimbrel::platform
