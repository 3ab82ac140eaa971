#include "platform/Resources.h"

#include <cstdlib>
#include <cstring>

namespace nimbrel::platform {

namespace {

struct Entry {
  int id;
  const char* text;
};

// 32767: caption suffix. 32768..32771: the System Info version digits the
// patch writes. 32772..32775: the updater's own version bytes, least
// significant first. 32776..32779 belong to the program and hold nothing.
constexpr Entry kStrings[] = {
    {32767, "_20181026"},
    {32768, "1"}, {32769, "0"}, {32770, "0"}, {32771, "1"},
    {32772, "5"}, {32773, "2"}, {32774, "1"}, {32775, "1"},
    {32776, ""}, {32777, ""}, {32778, ""}, {32779, ""},
};

}  // namespace

std::string LoadStringResource(int id) {
  for (const Entry& e : kStrings) {
    if (e.id == id) return e.text;
  }
  return {};
}

std::size_t LoadStringResource(int id, char* buffer, std::size_t size) {
  if (size == 0) return 0;
  std::memset(buffer, 0, size);
  const std::string text = LoadStringResource(id);
  const std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), n);
  return n;
}

int ResourceNumber(int id) {
  char buffer[256];
  LoadStringResource(id, buffer, sizeof buffer);
  // A text that is not a whole decimal number gives 0.
  char* end = nullptr;
  const long v = std::strtol(buffer, &end, 10);
  if (end == buffer || *end != '\0') return 0;
  return static_cast<int>(v);
}

}  // namespace nimbrel::platform
